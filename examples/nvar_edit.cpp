// The C++ version of nvar_edit.c: opens the image whose pieces sit in folder
// DIR, prints NVAR NAME and, given VALUE, changes it, commits and writes the
// new pieces back into DIR (each written to NAME.new, then renamed).
//
//   nvar_edit_cpp DIR NAME [VALUE]
#include <quorstorage/quorstorage.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes read_piece(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_piece(const fs::path &path, const Bytes &bytes) {
    fs::path fresh = path;
    fresh += ".new";
    std::ofstream(fresh, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    fs::rename(fresh, path);
}

QuorBuffer view(Bytes &bytes) {
    return QuorBuffer{bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size())};
}

// Closes the storage however main leaves; closing commits once more.
struct Session {
    ~Session() { kaMfsNvarTerm(false); }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        std::cerr << "usage: " << argv[0] << " DIR NAME [VALUE]\n";
        return 2;
    }
    const fs::path dir = argv[1];
    const char *name = argv[2];

    // The pieces stay here, owned by the caller; the library mounts the two
    // regions in place and writes into them.
    Bytes vendor = read_piece(dir / "ostra.cfg"), tool = read_piece(dir / "tavc.cfg"),
          afs = read_piece(dir / "mfs.bin"), table = read_piece(dir / "ftbl.bin"),
          efs = read_piece(dir / "efs.bin"), sku = read_piece(dir / "sku.txt");
    _commonQuorTable image{};
    image.ostraCfg = view(vendor);
    image.tavcCfg = view(tool);
    image.mfs = view(afs);
    image.ftbl = view(table);
    image.efs = view(efs);
    image.afsSkuId =
        static_cast<uint32_t>(std::stoul(std::string(sku.begin(), sku.end()), nullptr, 0));

    const auto on_report = [](int32_t, int32_t code, const char *text, const char *detail) {
        std::cerr << "quorstorage " << code << ": " << text << " " << detail << "\n";
    };
    if (!kaMfsQuorInit(&image, on_report)) {
        return 1;
    }
    Session session;
    uint8_t *value = nullptr;
    uint32_t size = 0;
    uint32_t max_size = 0;
    bool modifiable = false;
    if (!kaMfsNvarGet(name, &value, &size, QUOR_TABLE_CURRENT, &modifiable, &max_size)) {
        return 1;
    }
    std::cout << name << " = \"" << std::string(reinterpret_cast<char *>(value), size) << "\" ("
              << size << " bytes, at most " << max_size << ")\n";
    if (argc == 3) {
        return 0;
    }
    const std::string text = argv[3];
    if (!modifiable || !kaMfsNvarResize(name, &value, static_cast<uint32_t>(text.size()))) {
        return 1;
    }
    std::memcpy(value, text.data(), text.size());  // value is null only for 0 bytes
    uint8_t *fcs = nullptr;
    uint32_t fcs_size = 0;
    if (!kaMfsNvarTerm(true) || !kaMfsGetBuildTavCfgFcsBuffer(&fcs, &fcs_size)) {
        return 1;
    }
    // The new tool partition: the old 16-byte header with the new length at
    // offset 8, then the built configuration (copied: it belongs to the
    // library).
    Bytes partition(QUOR_TAVC_HEADER_SIZE, 0);
    if (tool.size() >= QUOR_TAVC_HEADER_SIZE) {
        std::copy(tool.begin(), tool.begin() + QUOR_TAVC_HEADER_SIZE, partition.begin());
    }
    for (unsigned i = 0; i < 4; ++i) {
        partition[QUOR_TAVC_LENGTH_OFFSET + i] = static_cast<uint8_t>(fcs_size >> (8 * i));
    }
    partition.insert(partition.end(), fcs, fcs + fcs_size);
    write_piece(dir / "tavc.cfg", partition);
    if (!afs.empty()) {
        write_piece(dir / "mfs.bin", afs);
    }
    if (!efs.empty()) {
        write_piece(dir / "efs.bin", efs);
    }
    std::cout << name << " set to \"" << text << "\"\n";
    return 0;
}
