// SHA-256 of a bundle piece, as bundle.json records it.
//
// SHA-256 comes from OpenSSL's EVP interface (Debian's libssl-dev): a
// maintained, widely reviewed implementation that uses the CPU's SHA
// instructions where they exist, so hashing a region costs far less than
// reading it. A piece's checksum only has to detect damage, so any strong
// hash would do; SHA-256 is the one every user can recompute with
// `sha256sum` to see which piece a message names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values.h"

namespace quorstore {

// Lower-case hex SHA-256 of `size` bytes (64 digits).
std::string sha256_hex(const uint8_t *data, size_t size);
inline std::string sha256_hex(const Bytes &bytes) {
    return sha256_hex(bytes.data(), bytes.size());
}

}  // namespace quorstore
