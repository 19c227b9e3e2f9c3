#include "image_editor/FileIterator.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "image_editor/Directory.h"

namespace image_editor {

namespace {

// Children of `node` when it is a directory, else null.
Directory *asDirectory(IFile *node) {
    if (node == nullptr || !node->isDirectory()) {
        return nullptr;
    }
    return dynamic_cast<Directory *>(node);
}

// Index of the first child of `dir` whose name equals `name`, or -1. The
// children are in name order, so a binary search finds the same child as a walk.
int32_t indexOfName(const Directory &dir, std::string_view name) {
    const auto found =
        std::lower_bound(dir.children.begin(), dir.children.end(), name,
                         [](const std::shared_ptr<IFile> &child, std::string_view key) {
                             return child->nameView() < key;
                         });
    if (found == dir.children.end() || (*found)->nameView() != name) {
        return -1;
    }
    const auto index = found - dir.children.begin();
    return index <= INT32_MAX ? static_cast<int32_t>(index) : -1;
}

// True when `position` is the index of a child of `dir` that is not its last.
bool hasNextSibling(const Directory &dir, int32_t position) {
    return position >= 0 && static_cast<std::size_t>(position) + 1 < dir.children.size();
}

}  // namespace

FileIterator::FileIterator(std::shared_ptr<IFile> root)
    : root(std::move(root)), current(nullptr), position(0) {
    firstFile();
}

std::string FileIterator::firstFile() {
    Directory *dir = asDirectory(root.get());
    if (dir == nullptr) {
        return std::string();
    }
    current = dir;
    if (dir->children.empty()) {
        return std::string();
    }
    position = 0;
    return std::string(dir->children.front()->nameView());
}

std::string FileIterator::nextFile() {
    if (current == nullptr || position < 0 ||
        static_cast<std::size_t>(position) >= current->children.size()) {
        return std::string();
    }
    IFile *returned = current->children[static_cast<std::size_t>(position)].get();
    Directory *dir = asDirectory(returned);
    if (dir != nullptr && !dir->children.empty()) {
        current = dir;
        position = 0;
        return dir->children.front()->getFullPath();
    }
    if (hasNextSibling(*current, position)) {
        ++position;
        return current->children[static_cast<std::size_t>(position)]->getFullPath();
    }
    return climb();
}

std::string FileIterator::climb() {
    for (;;) {
        IFile *parentNode = current->parent;
        if (parentNode == nullptr) {
            return std::string();
        }
        position = -1;
        Directory *parentDir = asDirectory(parentNode);
        if (parentDir == nullptr || parentDir->children.empty()) {
            return std::string();
        }
        const int32_t index = indexOfName(*parentDir, current->nameView());
        if (index < 0) {
            return std::string();
        }
        current = parentDir;
        position = index;
        if (hasNextSibling(*current, position)) {
            ++position;
            return current->children[static_cast<std::size_t>(position)]->getFullPath();
        }
    }
}

}  // namespace image_editor
