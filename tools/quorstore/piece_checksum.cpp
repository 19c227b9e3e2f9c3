#include "piece_checksum.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace quorstore {

std::string sha256_hex(const uint8_t *data, size_t size) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const uint8_t kNothing = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), size != 0 ? data : &kNothing, size) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        throw std::bad_alloc();  // EVP fails only when it cannot allocate
    }
    return to_hex(digest, length);
}

}  // namespace quorstore
