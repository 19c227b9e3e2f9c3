// Configuration file tree: a pre-order walk that keeps no list of nodes.
//
// The whole state is the directory being walked and a position among its
// children; the walk goes down through `children` and back up through each
// directory's `parent` pointer, locating a directory in its parent by name.
// The iterator shares ownership of the root and never changes the tree; any
// change to the tree invalidates the position (call firstFile again).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/export.h"
#include "image_editor/IFile.h"

namespace image_editor {

class Directory;

class QUOR_API FileIterator {
  public:
    // Takes the root and stands at its first child (calls firstFile).
    explicit FileIterator(std::shared_ptr<IFile> root);

    // Restarts; the bare name of the root's first child, or "" when there is
    // none or the root is not a directory.
    std::string firstFile();
    // The full path (getFullPath) of the next node in pre-order, or "" at the
    // end. A directory is returned before its contents.
    std::string nextFile();

  private:
    // Climbs through parents to the next sibling of an ancestor; "" when the
    // walk is over.
    std::string climb();

    std::shared_ptr<IFile> root;
    Directory *current;  // directory whose children are walked; not owning
    int32_t position;    // index in current->children; -1 during a failed climb
};

}  // namespace image_editor
