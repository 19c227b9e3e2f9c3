// Documents generated from the command-line definition itself, so that they
// never drift from it: a man page (roff) and a bash completion script.
// CMake runs `quorstore --man` and `quorstore --bash-completion` after the
// build and installs what they print.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quorstore {

// The subcommand `name` of `app`, or null (CLI11 2.1 only has a throwing lookup).
CLI::App *find_subcommand(CLI::App &app, const std::string &name);

// The man page quorstore(1): synopsis, every command with its options and
// example, exit statuses.
std::string man_page(CLI::App &app, const std::string &version);

// A bash completion script: command words, then each command's options;
// bundle folders and files complete as paths.
std::string bash_completion(CLI::App &app);

}  // namespace quorstore
