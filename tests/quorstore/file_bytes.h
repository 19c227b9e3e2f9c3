// Whole files as bytes, for the tests that damage a bundle's pieces in place.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>

#include "values.h"

namespace quorstore {

inline Bytes read_bytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quorstore
