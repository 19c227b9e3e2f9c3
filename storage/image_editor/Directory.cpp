#include "image_editor/Directory.h"

#include <algorithm>
#include <iterator>

#include "common/bytes.h"
#include "include/quorstorage/quorstorage.h"

namespace image_editor {

namespace {

bool nameLess(const std::shared_ptr<IFile> &a, const std::shared_ptr<IFile> &b) {
    return a->nameView() < b->nameView();
}

}  // namespace

Directory::Directory() = default;

Directory::Directory(const void *data, uint32_t size) {
    adoptBlob(data, size);
}

bool Directory::isDirectory() {
    return true;
}

uint32_t Directory::getSize() {
    uint32_t size = static_cast<uint32_t>(data.size());
    if (!nameView().empty()) {
        size += kHeaderSize;
    }
    for (const auto &child : children) {
        size += child->getSize();
    }
    return size;
}

std::deque<std::shared_ptr<IFile>>::iterator Directory::lowerBound(std::string_view name) {
    // Stores are mostly built in name order: a name past the last child is
    // answered without a search (whose probes each reach a node far away).
    if (children.empty() || children.back()->nameView() < name) {
        return children.end();
    }
    return std::lower_bound(children.begin(), children.end(), name,
                            [](const std::shared_ptr<IFile> &child, std::string_view key) {
                                return child->nameView() < key;
                            });
}

bool Directory::addFile(std::string, std::shared_ptr<IFile> file) {
    // A null node would break every later walk of the children: refuse it.
    if (!file) {
        return false;
    }
    // Inserting after the last child that does not sort after `file` gives the
    // order that appending and re-sorting gives (names in a store are unique;
    // among equal names any order is what an unstable sort may produce).
    // Appending in name order, the usual case, needs no search.
    if (children.empty() || !nameLess(file, children.back())) {
        children.push_back(std::move(file));
        return true;
    }
    const auto place = std::upper_bound(children.begin(), children.end(), file, nameLess);
    children.insert(place, std::move(file));
    return true;
}

void Directory::addFiles(std::vector<std::shared_ptr<IFile>> files) {
    files.erase(std::remove(files.begin(), files.end(), nullptr), files.end());
    if (files.empty()) {
        return;
    }
    std::stable_sort(files.begin(), files.end(), nameLess);
    std::deque<std::shared_ptr<IFile>> merged;
    // The children are copied, not moved, so that an allocation failure while
    // merging leaves them as they were.
    std::merge(children.begin(), children.end(), std::make_move_iterator(files.begin()),
               std::make_move_iterator(files.end()), std::back_inserter(merged), nameLess);
    children.swap(merged);
}

bool Directory::deleteFile(std::string path) {
    const std::size_t slash = path.find('/');
    const std::string_view whole(path);
    const std::string_view first = whole.substr(0, slash);
    const std::string_view rest =
        slash == std::string::npos ? std::string_view() : whole.substr(slash + 1);
    if (first.empty()) {
        return false;
    }
    const auto found = lowerBound(first);
    if (found == children.end() || (*found)->nameView() != first) {
        return false;
    }
    if (rest.empty()) {
        children.erase(found);
        return true;
    }
    return (*found)->deleteFile(std::string(rest));
}

bool Directory::getFile(std::string path, std::shared_ptr<IFile> *out) {
    if (out == nullptr) {
        return false;
    }
    const auto found = lowerBound(path);
    if (found == children.end() || (*found)->nameView() != path) {
        return false;
    }
    *out = *found;
    return true;
}

void Directory::serialize(std::vector<_cfg_file_entry_t> &entries, std::vector<uint8_t> &dataArea) {
    if (!nameView().empty()) {
        _cfg_file_entry_t header{};
        // A named directory made without a blob has no header of its own: it
        // is listed with an all-zero header.
        if (data.size() >= kHeaderSize) {
            quor::store_le32(data.data() + kHeaderDataOffset, 0);
            header.fileno = quor::load_le32(data.data() + kHeaderFileno);
            header.data_size = quor::load_le16(data.data() + kHeaderDataSize);
            header.flags = quor::load_le16(data.data() + kHeaderFlags);
        }
        header.data_offset = 0;
        entries.push_back(header);
    }
    for (const auto &child : children) {
        child->serialize(entries, dataArea);
    }
}

}  // namespace image_editor
