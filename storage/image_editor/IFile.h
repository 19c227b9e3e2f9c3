// Configuration file tree: the node interface.
//
// A tree of configuration files lives in memory as `File` nodes, each owning
// one file's bytes, and `Directory` nodes owning their children, all reached
// through shared pointers to `IFile`. Every node keeps its bytes as a blob:
// the 12-byte file header `_cfg_file_entry_t` followed by the payload. The
// header's C layout is published with the C interface (quorstorage.h); inside
// a blob it is read and written by byte offset (the table below), so a blob may
// sit at any address.
//
//   blob offset | width | field
//   ------------+-------+-----------------------------------------------------
//             0 |     4 | fileno       file number (key into the file table)
//             4 |     4 | data_offset  rewritten by every serialize
//             8 |     2 | data_size    payload length (blob length - 12)
//            10 |     2 | flags        carried unchanged
//   (all little-endian)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/export.h"

struct _cfg_file_entry_t;

namespace image_editor {

// Length of a node name; a name of exactly this length has no terminator.
inline constexpr std::size_t kNameSize = 48;

// The blob header.
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kHeaderFileno = 0;
inline constexpr std::size_t kHeaderDataOffset = 4;
inline constexpr std::size_t kHeaderDataSize = 8;
inline constexpr std::size_t kHeaderFlags = 10;

class QUOR_API IFile {
  public:
    IFile();
    IFile(const IFile &) = delete;
    IFile &operator=(const IFile &) = delete;

    // True for a directory.
    virtual bool isDirectory() = 0;
    // Size in bytes (File: its blob; Directory: see Directory.h).
    virtual uint32_t getSize() = 0;
    // Adds `file` below this node; false when the node takes no children.
    virtual bool addFile(std::string path, std::shared_ptr<IFile> file) = 0;
    // Removes the node at `path` ("name" or "dir/name"); false when absent.
    virtual bool deleteFile(std::string path) = 0;
    // Stores the direct child named exactly `path` in `*out`; false when absent.
    virtual bool getFile(std::string path, std::shared_ptr<IFile> *out) = 0;
    // Appends this subtree's headers to `entries` and payloads to `dataArea`
    // (pre-order), writing each file's offset inside `dataArea` into its header.
    virtual void serialize(std::vector<_cfg_file_entry_t> &entries,
                           std::vector<uint8_t> &dataArea) = 0;
    virtual ~IFile();

    // `name` when `path` is empty, else `path` + "/" + `name`.
    std::string getFullPath();

    // The node name as a string: up to the first NUL, at most kNameSize bytes.
    std::string_view nameView() const {
        const void *nul = std::memchr(name, '\0', kNameSize);
        const std::size_t length =
            nul == nullptr ? kNameSize
                           : static_cast<std::size_t>(static_cast<const char *>(nul) - name);
        return std::string_view(name, length);
    }

    std::vector<uint8_t> data;  // blob: header then payload; empty for a bare directory
    char name[kNameSize];       // NUL-padded
    _cfg_file_entry_t *entry;   // header at the front of `data`, or null
    std::string path;           // path of the containing directory; set by the tree's builder
    IFile *parent;              // containing directory (not owning); set by the tree's builder

  protected:
    // Copies `size` bytes of `blob` into `data`, points `entry` at them and
    // stores `size` - 12 (cut to 16 bits) as the copy's data_size. Throws
    // std::invalid_argument for a blob shorter than the header.
    void adoptBlob(const void *blob, uint32_t size);
};

// True when `a`'s name sorts before `b`'s: unsigned byte order, a prefix first.
QUOR_API bool fileCompare(std::shared_ptr<IFile> a, std::shared_ptr<IFile> b);

}  // namespace image_editor
