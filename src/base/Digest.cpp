#include "base/Digest.h"

#include "base/Sha256.h"

namespace qv {

std::string sha256Hex(const void* data, std::size_t size) {
    Sha256 digest;
    digest.update(data, size);
    return digest.finalHex();
}

}  // namespace qv
