// quorstore dump: writes the description (and raw files) that mkimage turns
// back into the bundle.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "image_build.h"

namespace quorstore {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char kDescriptionFile[] = "description.json";
const char kFilesFolder[] = "files";

void check_dump_folder(const fs::path &folder, bool force) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        return;
    }
    if (!fs::is_directory(folder, ec)) {
        throw ToolError(kCodeWriteOutput, folder.string() + ": exists and is not a folder");
    }
    if (fs::exists(folder / kDescriptionFile, ec)) {
        if (!force) {
            throw ToolError(kCodeWriteOutput,
                            folder.string() + ": already holds a dump; --force replaces it");
        }
        fs::remove_all(folder / kFilesFolder, ec);
        return;
    }
    if (fs::directory_iterator(folder, ec) != fs::directory_iterator()) {
        throw ToolError(kCodeWriteOutput,
                        folder.string() + ": exists, is not empty and holds no dump");
    }
}

void write_file(const fs::path &path, const std::string &bytes) {
    errno = 0;
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        const int error = errno;
        throw ToolError(kCodeWriteOutput, path.string() + ": cannot write" +
                                              (error != 0 ? std::string(": ") + std::strerror(error)
                                                          : std::string()));
    }
}

// What a dump wrote into `folder`, removed again when it fails: the whole
// folder when the dump made it, else the description and the raw files.
class DumpCleanup {
  public:
    explicit DumpCleanup(const fs::path &folder) : folder_(folder) {
        std::error_code ec;
        created_ = !fs::exists(folder, ec);
    }
    ~DumpCleanup() {
        if (done_) {
            return;
        }
        std::error_code ec;
        if (created_) {
            fs::remove_all(folder_, ec);
            return;
        }
        fs::remove(folder_ / kDescriptionFile, ec);
        fs::remove_all(folder_ / kFilesFolder, ec);
    }
    DumpCleanup(const DumpCleanup &) = delete;
    DumpCleanup &operator=(const DumpCleanup &) = delete;
    void keep() { done_ = true; }

  private:
    fs::path folder_;
    bool created_ = false;
    bool done_ = false;
};

std::string raw_file_name(const RawFileDescription &file) {
    return std::string(kFilesFolder) + "/" + (file.fs == StorageKind::kEfs ? "efs-" : "afs-") +
           std::to_string(file.index) + ".bin";
}

}  // namespace

int run_dump(const DumpOptions &options) {
    Bundle bundle = load_bundle(options.bundle);
    const BundleDescription described = describe_bundle(bundle);
    const fs::path folder(options.output);
    check_dump_folder(folder, options.force);
    DumpCleanup cleanup(folder);
    std::error_code ec;
    fs::create_directories(folder / kFilesFolder, ec);
    if (ec) {
        throw ToolError(kCodeWriteOutput, folder.string() + ": " + ec.message());
    }
    const nlohmann::ordered_json doc =
        description_json(described.image, [&folder](const RawFileDescription &file) {
            const std::string name = raw_file_name(file);
            write_file(folder / name, std::string(file.content.begin(), file.content.end()));
            return json{{"path", name}};
        });
    write_file(folder / kDescriptionFile, doc.dump(2) + "\n");
    cleanup.keep();
    for (const std::string &what : described.left_out) {
        std::cerr << "warning: not in the description: " << what << "\n";
    }
    if (options.json) {
        std::cout << json{{"description", (folder / kDescriptionFile).string()},
                          {"nvars", described.image.nvars.size()},
                          {"raw_files", described.image.files.size()},
                          {"left_out", described.left_out}}
                         .dump(2)
                  << "\n";
        return kExitOk;
    }
    std::cout << "dumped " << options.bundle << " to " << (folder / kDescriptionFile).string()
              << ": " << plural(described.image.nvars.size(), "NVAR", "NVARs") << ", "
              << plural(described.image.files.size(), "raw file", "raw files") << "\n";
    return kExitOk;
}

}  // namespace quorstore
