// Steps of the commit protocol (bundle.h) that opening shares with the commit.
#pragma once

#include <filesystem>

#include "bundle.h"

namespace quorstore {

// Step 3 for one piece: renames its staged file over its target and fsyncs
// the folder. Returns 0 or an errno value.
int finish_piece(const std::filesystem::path &folder, const std::filesystem::path &staged,
                 const std::filesystem::path &target);

// Removes staged files that belong to no committed state (a commit that never
// reached its commit point); notes each in bundle.recovered.
void remove_leftovers(Bundle &bundle);

}  // namespace quorstore
