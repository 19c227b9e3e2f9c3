// quorstore: build image bundles and read, change and check their NVARs and
// file systems through libquorstorage.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli_docs.h"
#include "commands.h"

namespace {

using namespace quorstore;

const char kTableHelp[] = "NVAR table: current (default), vendor or tool";

NvarTable table_from_name(const std::string &name) {
    if (name == "vendor") {
        return NvarTable::kVendor;
    }
    if (name == "tool") {
        return NvarTable::kTool;
    }
    return NvarTable::kCurrent;
}

struct Options {
    MkimageOptions mkimage;
    DumpOptions dump;
    MapOptions map;
    std::string other;
    std::string bundle;
    std::string name;
    std::string file;
    std::string table = "current";
    NvarSetOptions set;
    NvarListOptions list;
    ValueSource value;
    bool json = false;
    bool hex = false;
    bool raw = false;
    bool text = false;
    bool repair = false;
    bool force = false;
    bool fsck = false;  // fsck's exit status is a bitmask
};

// Standard output must have reached its file: a full disk or a closed pipe
// is a failure, not a success with missing output.
int check_output(int status, bool fsck) {
    std::cout.flush();
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout;
    if (!failed) {
        return status;
    }
    const int error = errno;
    std::cerr << format_report(Report{kCodeWriteOutput, catalogue_text(kCodeWriteOutput),
                                      std::string("standard output: ") +
                                          (error != 0 ? std::strerror(error) : "write failed")})
              << "\n";
    if (fsck) {
        return status | kFsckOperational;
    }
    return status == kExitOk ? kExitFailure : status;
}

ValueFormat format_of(const Options &o, ValueFormat fallback) {
    if (o.hex) {
        return ValueFormat::kHex;
    }
    if (o.raw) {
        return ValueFormat::kRaw;
    }
    if (o.text) {
        return ValueFormat::kText;
    }
    return fallback;
}

void add_bundle(CLI::App *cmd, Options &o) {
    cmd->add_option("BUNDLE", o.bundle, "bundle folder")->required();
}

void add_json(CLI::App *cmd, Options &o) {
    cmd->add_flag("--json", o.json, "print JSON instead of text");
}

void add_output_format(CLI::App *cmd, Options &o) {
    auto *hex = cmd->add_flag("--hex", o.hex, "print the value as hex");
    auto *raw = cmd->add_flag("--raw", o.raw, "write the raw bytes to standard output");
    auto *text = cmd->add_flag("--text", o.text, "print the value as text");
    hex->excludes(raw)->excludes(text);
    raw->excludes(text);
}

void add_value_source(CLI::App *cmd, Options &o) {
    auto *hex = cmd->add_option("--hex", o.value.hex, "value as hex digits");
    auto *text = cmd->add_option("--text", o.value.text, "value as text (no terminator added)");
    auto *file = cmd->add_option("--file", o.value.file, "value from the bytes of a file");
    hex->excludes(text)->excludes(file);
    text->excludes(file);
}

std::string example(const std::string &lines) {
    return "\nExample:\n" + lines;
}

void add_file_commands(CLI::App &app, Options &o, FileSystem fs, std::function<int()> &action) {
    const std::string name = fs == FileSystem::kEfs ? "efs" : "afs";
    auto *group =
        app.add_subcommand(name, std::string("raw numbered files of ") + file_system_name(fs) +
                                     " (" + (fs == FileSystem::kEfs ? "efs.bin" : "mfs.bin") + ")");
    group->require_subcommand(1);
    group->footer(example("  quorstore " + name + " ls build/demo-bundle\n  quorstore " + name +
                          " cat build/demo-bundle 3 --hex"));

    auto *ls = group->add_subcommand("ls", "list the files that exist");
    add_bundle(ls, o);
    add_json(ls, o);
    ls->footer(example("  quorstore " + name + " ls build/demo-bundle --json"));
    ls->callback(
        [&o, &action, fs] { action = [&o, fs] { return run_files_ls(fs, o.bundle, o.json); }; });

    auto *cat = group->add_subcommand("cat", "write a file's bytes to standard output");
    add_bundle(cat, o);
    cat->add_option("INDEX", o.file, "file index, or its name in the file table")->required();
    add_output_format(cat, o);
    cat->footer(example("  quorstore " + name + " cat build/demo-bundle 3 --hex"));
    cat->callback([&o, &action, fs] {
        action = [&o, fs] {
            return run_files_cat(fs, o.bundle, o.file, format_of(o, ValueFormat::kRaw));
        };
    });

    auto *put = group->add_subcommand("put", "replace a file's content");
    add_bundle(put, o);
    put->add_option("INDEX", o.file, "file index, or its name in the file table")->required();
    add_value_source(put, o);
    put->footer(example("  quorstore " + name + " put build/demo-bundle 3 --file blob.bin"));
    put->callback([&o, &action, fs] {
        action = [&o, fs] { return run_files_put(fs, o.bundle, o.file, o.value); };
    });

    auto *rm = group->add_subcommand("rm", "delete a file");
    add_bundle(rm, o);
    rm->add_option("INDEX", o.file, "file index, or its name in the file table")->required();
    rm->add_flag("--force", o.force,
                 "remove a file that holds an NVAR (the storage no longer opens without it "
                 "until fsck --repair gives it its value back)");
    rm->footer(example("  quorstore " + name + " rm build/demo-bundle 3"));
    rm->callback([&o, &action, fs] {
        action = [&o, fs] { return run_files_rm(fs, o.bundle, o.file, o.force); };
    });
}

int usage_failure(const std::string &detail) {
    std::cerr << format_report(Report{kCodeBadOptions, catalogue_text(kCodeBadOptions), detail})
              << "\n";
    return kExitUsage;
}

// "nvar needs a command: list, export, get, set (quorstore help nvar explains
// them)"; `path` is empty for the tool itself.
std::string needs_command_text(const CLI::App &group, const std::string &path) {
    std::string names;
    for (const CLI::App *sub : group.get_subcommands({})) {
        names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    const std::string who = path.empty() ? "quorstore" : path;
    const std::string help = path.empty() ? "quorstore --help" : "quorstore help " + path;
    return who + " needs a command: " + names + " (" + help + " explains them)";
}

// CLI11's words, except where the tool or a command group was given without
// its command.
std::string parse_error_text(CLI::App &app, const CLI::ParseError &error) {
    if (std::string(error.what()).rfind("A subcommand is required", 0) != 0) {
        return error.what();
    }
    CLI::App *group = &app;
    std::string path;
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (CLI::App *sub : group->get_subcommands({})) {
            if (sub->parsed()) {
                path += (path.empty() ? "" : " ") + sub->get_name();
                group = sub;
                deeper = true;
                break;
            }
        }
    }
    if (group->get_subcommands({}).empty() || !group->get_subcommands().empty()) {
        return error.what();
    }
    return needs_command_text(*group, path);
}

// What the first word asks for before CLI11 sees it: "help [COMMAND]", the
// generated documents, or a command that does not exist (CLI11 would only
// say that a subcommand is required). -1: parse normally.
int handle_bare_words(CLI::App &app, int argc, char **argv) {
    if (argc < 2) {
        // A usage error like any other (stderr, exit 2); help itself is
        // `quorstore --help` or `quorstore help` (stdout, exit 0).
        return usage_failure(needs_command_text(app, ""));
    }
    const std::string first = argv[1];
    if (first == "help") {
        CLI::App *topic = &app;
        std::string parents;  // "quorstore nvar" for "help nvar set"
        for (int i = 2; i < argc && topic != nullptr; ++i) {
            parents += (parents.empty() ? "" : " ") + topic->get_name();
            topic = find_subcommand(*topic, argv[i]);
        }
        if (topic == nullptr) {
            return usage_failure(std::string("no help on \"") + argv[argc - 1] + "\"");
        }
        std::cout << topic->help(parents);
        return kExitOk;
    }
    if (first == "--man") {
        std::cout << man_page(app, QUORSTORE_VERSION);
        return kExitOk;
    }
    if (first == "--bash-completion") {
        std::cout << bash_completion(app);
        return kExitOk;
    }
    if (!first.empty() && first[0] != '-' && find_subcommand(app, first) == nullptr) {
        std::string known;
        for (const CLI::App *sub : app.get_subcommands({})) {
            known += (known.empty() ? "" : ", ") + sub->get_name();
        }
        return usage_failure("unknown command \"" + first + "\" (commands: " + known +
                             "; quorstore --help explains them)");
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::function<int()> action;
    CLI::App app{
        "quorstore: build image bundles and read, change and check their NVARs and "
        "file systems",
        "quorstore"};
    app.require_subcommand(1);
    app.fallthrough();  // --wait also after the command's name
    double wait_seconds = static_cast<double>(lock_wait().count()) / 1000.0;
    app.add_option("--wait", wait_seconds,
                   "seconds to wait for a bundle another process has locked (default 5)")
        ->check(CLI::Validator(
            [](const std::string &text) -> std::string {
                char *end = nullptr;
                const double seconds = std::strtod(text.c_str(), &end);
                const bool number = !text.empty() && end == text.c_str() + text.size();
                return number && seconds >= 0 && seconds <= 86400
                           ? ""
                           : "\"" + text + "\" is not a number of seconds from 0 to 86400";
            },
            "SECONDS"));
    app.footer(
        "\nA bundle is a folder holding the pieces of one image (ftbl.bin, ostra.cfg, tavc.cfg,\n"
        "mfs.bin, efs.bin) and bundle.json. Commands that change a bundle write new pieces\n"
        "beside the old ones and rename them into place only after the library succeeded.\n"
        "Commands that read take a shared lock on the bundle, commands that change it an\n"
        "exclusive one; --wait SECONDS says how long to wait for a lock another process holds.\n"
        "Exit status: 0 success, 1 failure (bundle unchanged), 2 bad usage, 75 the bundle is\n"
        "locked by another process; fsck: 0 clean, 1 damage repaired, 4 damage left, 8 the\n"
        "check could not run.\n"
        "\nExample:\n"
        "  quorstore mkimage examples/demo.json -o build/demo-bundle\n"
        "  quorstore nvar get build/demo-bundle /home/net/hostname --text");

    auto *mkimage = app.add_subcommand("mkimage", "build a bundle from a JSON description");
    mkimage->add_option("DESCRIPTION", o.mkimage.description, "description file (JSON)")
        ->required();
    mkimage->add_option("-o,--output", o.mkimage.output, "bundle folder to create")->required();
    mkimage->add_option("--sku", o.mkimage.sku, "build this SKU instead of the description's");
    mkimage->add_flag("--force", o.mkimage.force, "replace an existing bundle");
    mkimage->add_flag("--json", o.mkimage.json, "print JSON instead of text");
    mkimage->footer(
        "\nDescription format (version 1; docs/description.md has every field and range):\n"
        "  {\"version\": 1, \"sku\": ID, \"deployed\": BOOL,\n"
        "   \"afs\": {\"size\", \"files\"}, \"efs\": {\"block_maps\", \"blocks\", \"spares\", "
        "\"files\",\n"
        "   \"wear_threshold\", \"layout_id\"}, \"tool_partition\": BOOL, "
        "\"tool_partition_size\": N,\n"
        "   \"deploy_marker\": {\"fileno\", \"index\"},\n"
        "   \"skus\": [{\"id\", \"files\": [{\"name\", \"fileno\", \"attributes\", \"index\",\n"
        "                          \"storage\": \"afs\"|\"efs\"|\"table\", \"max_size\"}]}],\n"
        "   \"nvars\": [{\"name\", \"default\": VALUE, \"tool\": VALUE}],\n"
        "   \"files\": [{\"fs\": \"afs\"|\"efs\", \"index\", \"content\": VALUE}]}\n"
        "  VALUE: \"text\" | {\"text\": ...} | {\"hex\": ...} | {\"path\": FILE relative to the "
        "description}\n" +
        example("  quorstore mkimage examples/demo.json -o build/demo-bundle"));
    mkimage->callback([&] { action = [&] { return run_mkimage(o.mkimage); }; });

    auto *dump = app.add_subcommand(
        "dump", "write the description and raw files that mkimage rebuilds the bundle from");
    dump->add_option("BUNDLE", o.dump.bundle, "bundle folder")->required();
    dump->add_option("-o,--output", o.dump.output, "folder for description.json and files/")
        ->required();
    dump->add_flag("--force", o.dump.force, "replace an earlier dump in the folder");
    dump->add_flag("--json", o.dump.json, "print JSON instead of text");
    dump->footer(
        example("  quorstore dump build/demo-bundle -o build/demo-dump\n"
                "  quorstore mkimage build/demo-dump/description.json -o build/copy"));
    dump->callback([&] { action = [&] { return run_dump(o.dump); }; });

    auto *diff =
        app.add_subcommand("diff",
                           "compare two bundles: NVARs, raw files, file tables and geometry "
                           "(exit 0 equal, 1 different, 2 trouble)");
    diff->add_option("A", o.bundle, "first bundle folder")->required();
    diff->add_option("B", o.other, "second bundle folder")->required();
    add_json(diff, o);
    diff->footer(example("  quorstore diff build/demo-bundle build/copy --json"));
    diff->callback([&] { action = [&] { return run_diff(o.bundle, o.other, o.json); }; });

    auto *info = app.add_subcommand("info", "SKU, tables, AFS and EFS geometry and usage");
    add_bundle(info, o);
    add_json(info, o);
    info->footer(example("  quorstore info build/demo-bundle --json"));
    info->callback([&] { action = [&] { return run_info(o.bundle, o.json); }; });

    auto *map = app.add_subcommand(
        "map",
        "every AFS erase unit and EFS block: state (live, free, stale, spare, block map) and "
        "erase count, as text, JSON or an SVG picture");
    map->add_option("BUNDLE", o.map.bundle, "bundle folder")->required();
    map->add_option("--svg", o.map.svg,
                    "draw the map into this SVG file (\"-\": standard output, nothing else)")
        ->type_name("FILE");
    map->add_flag("--json", o.map.json, "print JSON instead of text");
    map->footer(
        "\nStates: live (holds data in use), free (erased, ready), stale (holds data no longer\n"
        "in use: a reclaim or erase frees it), spare (the unit or block a reclaim copies into),\n"
        "block map (EFS block-map blocks), unknown (EFS data blocks when no block map reads).\n" +
        example("  quorstore map build/demo-bundle\n"
                "  quorstore map build/demo-bundle --svg build/demo-map.svg --json"));
    map->callback([&] { action = [&] { return run_map(o.map); }; });

    auto *nvar = app.add_subcommand("nvar", "read and change NVARs");
    nvar->require_subcommand(1);
    nvar->footer(
        example("  quorstore nvar list build/demo-bundle\n"
                "  quorstore nvar set build/demo-bundle /home/net/hostname=gw-7"));

    auto *list = nvar->add_subcommand("list", "list the NVARs of a table");
    add_bundle(list, o);
    list->add_option("--table", o.table, kTableHelp)
        ->check(CLI::IsMember({"current", "vendor", "tool"}));
    list->add_flag("--values", o.list.values,
                   "print NAME=VALUE lines (text where it reads back exactly, else NAME:hex=HEX)");
    list->add_flag("--json", o.list.json, "print JSON instead of text");
    list->footer(
        example("  quorstore nvar list build/demo-bundle --table vendor\n"
                "  quorstore nvar list build/demo-bundle --values --json"));
    list->callback([&] {
        action = [&] { return run_nvar_list(o.bundle, table_from_name(o.table), o.list); };
    });

    auto *exported = nvar->add_subcommand(
        "export", "print every NVAR as a NAME=VALUE line that `nvar set --from` applies");
    add_bundle(exported, o);
    exported->add_option("--table", o.table, kTableHelp)
        ->check(CLI::IsMember({"current", "vendor", "tool"}));
    exported->add_flag("--json", o.list.json, "print JSON instead of text");
    exported->footer(
        example("  quorstore nvar export build/demo-bundle > values.txt\n"
                "  quorstore nvar set build/other-bundle --from values.txt"));
    exported->callback([&] {
        o.list.values = true;
        action = [&] { return run_nvar_list(o.bundle, table_from_name(o.table), o.list); };
    });

    auto *get = nvar->add_subcommand("get", "print one NVAR's value");
    add_bundle(get, o);
    get->add_option("NAME", o.name, "NVAR name (\"/home/\" may be left out)")->required();
    get->add_option("--table", o.table, kTableHelp)
        ->check(CLI::IsMember({"current", "vendor", "tool"}));
    add_output_format(get, o);
    add_json(get, o);
    get->footer(example("  quorstore nvar get build/demo-bundle /home/net/hostname --text"));
    get->callback([&] {
        action = [&] {
            return run_nvar_get(o.bundle, o.name, table_from_name(o.table),
                                format_of(o, ValueFormat::kHex), o.json);
        };
    });

    auto *set = nvar->add_subcommand(
        "set", "change NVARs and commit them into the bundle (several pairs: one commit)");
    add_bundle(set, o);
    set->add_option("ASSIGNMENTS", o.set.assignments,
                    "NAME with --hex/--text/--file, or NAME=TEXT, NAME:hex=HEX, NAME:file=PATH, "
                    "NAME:u8|u16|u32|u64|i32=NUMBER (little-endian)");
    add_value_source(set, o);
    set->add_option("--from", o.set.from,
                    "apply the NAME=VALUE lines of FILE ('-': standard input; '#' starts a "
                    "comment line)");
    set->add_flag("--allow-short", o.set.allow_short,
                  "store a hex, file or integer value shorter than the value it replaces");
    set->add_flag("--json", o.set.json, "print JSON instead of text");
    set->footer(example(
        "  quorstore nvar set build/demo-bundle /home/net/mtu:u32=1500\n"
        "  quorstore nvar set build/demo-bundle /home/net/hostname=gw-7 /home/sys/led_mode:hex=01\n"
        "  quorstore nvar export build/demo-bundle | quorstore nvar set build/copy --from -"));
    set->callback([&] {
        o.set.source = o.value;
        action = [&] { return run_nvar_set(o.bundle, o.set); };
    });

    add_file_commands(app, o, FileSystem::kAfs, action);
    add_file_commands(app, o, FileSystem::kEfs, action);

    auto *fsck = app.add_subcommand("fsck",
                                    "mount both file systems, read every file, "
                                    "report damage");
    add_bundle(fsck, o);
    fsck->add_flag("--repair", o.repair,
                   "write back what a mount and an idle reclaim change in the regions");
    add_json(fsck, o);
    fsck->footer(example("  quorstore fsck build/demo-bundle"));
    fsck->callback([&] {
        o.fsck = true;
        action = [&] { return run_fsck(o.bundle, o.repair, o.json); };
    });

    app.set_version_flag("--version", std::string("quorstore ") + QUORSTORE_VERSION);
    if (const int status = handle_bare_words(app, argc, argv); status >= 0) {
        return status;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usage_failure(parse_error_text(app, e));
    }
    set_lock_wait(std::chrono::milliseconds(static_cast<long long>(wait_seconds * 1000.0)));
    try {
        const int status = action ? action() : kExitUsage;
        for (const std::string &note : take_commit_notes()) {
            std::cerr << "warning: " << note << "\n";
        }
        return check_output(status, o.fsck);
    } catch (const ToolError &error) {
        std::cout.flush();
        for (const std::string &line : error.lines()) {
            std::cerr << line << "\n";
        }
        return error.exit_status();
    } catch (const std::exception &error) {
        std::cerr << "error: " << error.what() << "\n";
        return kExitFailure;
    }
}
