#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace qv {

// Streaming SHA-256 (OpenSSL EVP).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // 64 lower-case hexadecimal characters; the object is spent afterwards.
    std::string finalHex();

private:
    evp_md_ctx_st* context_;
};

}  // namespace qv
