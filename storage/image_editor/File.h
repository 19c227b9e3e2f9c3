// Configuration file tree: a file node, owning one file's blob.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "image_editor/IFile.h"

namespace image_editor {

class QUOR_API File : public IFile {
  public:
    // Copies the `size`-byte blob at `data` (header then payload; the caller's
    // bytes are not changed) and at most kNameSize bytes of `name`; the copy's
    // data_size becomes `size` - 12 cut to 16 bits. Throws
    // std::invalid_argument when the blob is shorter than the header or null.
    File(const void *data, uint32_t size, const char *name);

    bool isDirectory() override;  // false
    uint32_t getSize() override;  // blob length
    // A file has no children: these return false and change nothing.
    bool addFile(std::string path, std::shared_ptr<IFile> file) override;
    bool deleteFile(std::string path) override;
    bool getFile(std::string path, std::shared_ptr<IFile> *out) override;
    // Writes the current data-area length into its header's data_offset, then
    // appends the header to `entries` and its data_size payload bytes to `dataArea`.
    void serialize(std::vector<_cfg_file_entry_t> &entries,
                   std::vector<uint8_t> &dataArea) override;
};

}  // namespace image_editor
