// Configuration file tree: a directory node, owning its children.
//
// `children` is always in fileCompare order: addFile and addFiles insert in
// place and deleteFile keeps the order, so lookups are binary searches. Code
// that edits `children` directly must keep that order.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "image_editor/IFile.h"

namespace image_editor {

class QUOR_API Directory : public IFile {
  public:
    // An unnamed directory without blob (`entry` null).
    Directory();
    // An unnamed directory holding a copy of a blob, as File does.
    Directory(const void *data, uint32_t size);

    bool isDirectory() override;  // true
    // Blob length, plus 12 when named, plus getSize() of every child.
    uint32_t getSize() override;
    // Makes `file` a direct child (`path` is not used) at its fileCompare
    // place; no duplicate check; path and parent of `file` are not set.
    // False only for a null `file`.
    bool addFile(std::string path, std::shared_ptr<IFile> file) override;
    // "name" removes that child, "name/" too; "name/rest" asks that child to
    // delete "rest". False for an empty first part or no such child.
    bool deleteFile(std::string path) override;
    // The first child whose whole name equals `path` ("/" is not interpreted).
    bool getFile(std::string path, std::shared_ptr<IFile> *out) override;
    // Named: a header with data_offset 0 and nothing in `dataArea`. Then every
    // child in `children` order.
    void serialize(std::vector<_cfg_file_entry_t> &entries,
                   std::vector<uint8_t> &dataArea) override;

    // Adds many children at once, ending in the same order as adding them one
    // by one with addFile, in O((n + m) log m) rather than one insert each.
    // Either every non-null file is added or, if an allocation fails (the
    // exception propagates), none is.
    void addFiles(std::vector<std::shared_ptr<IFile>> files);

    std::deque<std::shared_ptr<IFile>> children;

  private:
    // Position of the first child whose name is not below `name`.
    std::deque<std::shared_ptr<IFile>>::iterator lowerBound(std::string_view name);
};

}  // namespace image_editor
