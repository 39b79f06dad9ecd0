#include "base/Sha256.h"

#include <openssl/evp.h>

#include <openssl/crypto.h>

#include <new>

namespace qv {

namespace {

// Workers may still be hashing when the process ends; OpenSSL's exit-time clean-up would free its
// tables under them.
EVP_MD_CTX* newContext() {
    static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    (void)initialised;
    return EVP_MD_CTX_new();
}

}  // namespace

Sha256::Sha256() : context_(newContext()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) EVP_DigestUpdate(context_, data, size);
}

std::string Sha256::finalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0F]);
    }
    return text;
}

}  // namespace qv
