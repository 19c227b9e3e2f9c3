#include "image_editor/File.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/bytes.h"
#include "include/quorstorage/quorstorage.h"

namespace image_editor {

static_assert(sizeof(_cfg_file_entry_t) == kHeaderSize, "blob header is 12 bytes");

// ---- IFile ---------------------------------------------------------------

IFile::IFile() : name{}, entry(nullptr), parent(nullptr) {}

IFile::~IFile() = default;

std::string IFile::getFullPath() {
    if (path.empty()) {
        return std::string(nameView());
    }
    std::string full = path;
    full += '/';
    full += nameView();
    return full;
}

void IFile::adoptBlob(const void *blob, uint32_t size) {
    // A blob without a whole header is refused: the header fields would lie
    // outside the node's bytes.
    if (blob == nullptr || size < kHeaderSize) {
        throw std::invalid_argument("configuration file blob shorter than its header");
    }
    const auto *bytes = static_cast<const uint8_t *>(blob);
    data.assign(bytes, bytes + size);
    entry = reinterpret_cast<_cfg_file_entry_t *>(data.data());
    quor::store_le16(data.data() + kHeaderDataSize, static_cast<uint16_t>(size - kHeaderSize));
}

// Exported with by-value shared pointers: the signature is part of the ABI.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool fileCompare(std::shared_ptr<IFile> a, std::shared_ptr<IFile> b) {
    // string_view compares as unsigned bytes, a prefix before a longer name.
    return a->nameView() < b->nameView();
}

// ---- File ----------------------------------------------------------------

File::File(const void *data, uint32_t size, const char *name) {
    if (name != nullptr) {
        // strnlen-like bound: never read past kNameSize bytes of the caller's name.
        std::size_t length = 0;
        while (length < kNameSize && name[length] != '\0') {
            ++length;
        }
        std::memcpy(this->name, name, length);
    }
    adoptBlob(data, size);
}

bool File::isDirectory() {
    return false;
}

uint32_t File::getSize() {
    return static_cast<uint32_t>(data.size());
}

bool File::addFile(std::string, std::shared_ptr<IFile>) {
    return false;
}

bool File::deleteFile(std::string) {
    return false;
}

bool File::getFile(std::string, std::shared_ptr<IFile> *) {
    return false;
}

void File::serialize(std::vector<_cfg_file_entry_t> &entries, std::vector<uint8_t> &dataArea) {
    if (data.size() < kHeaderSize) {
        return;  // only reachable if `data` was emptied from outside
    }
    uint8_t *header = data.data();
    quor::store_le32(header + kHeaderDataOffset, static_cast<uint32_t>(dataArea.size()));

    _cfg_file_entry_t copy;
    copy.fileno = quor::load_le32(header + kHeaderFileno);
    copy.data_offset = quor::load_le32(header + kHeaderDataOffset);
    copy.data_size = quor::load_le16(header + kHeaderDataSize);
    copy.flags = quor::load_le16(header + kHeaderFlags);
    entries.push_back(copy);

    // The header's data_size is public and may have been edited: never copy
    // more payload than the blob holds.
    const std::size_t payload = std::min<std::size_t>(copy.data_size, data.size() - kHeaderSize);
    dataArea.insert(dataArea.end(), header + kHeaderSize, header + kHeaderSize + payload);
}

}  // namespace image_editor
