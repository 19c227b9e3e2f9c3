// Arbitrary bytes as a configuration file table buffer: load_file_table and
// load_autogen_data must never read outside it, a selected table must lie
// inside it, every lookup must agree with the entry it returns, and a loaded
// EFS layout must describe exactly g_efs_files_num file entries.
//
// Input: 4 bytes of SKU id, then the table buffer. The buffer is tried as
// given and padded with zeros to 1024 bytes, each in a heap block of its
// exact size so that any overread is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"
#include "fcs/FCS.h"

namespace {

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// Every lookup, for every entry of the selected table.
void exercise_lookups(const uint8_t *buffer, size_t size) {
    if (g_table_num_files < 1) {
        return;
    }
    const auto *first = reinterpret_cast<const uint8_t *>(g_table_buf);
    check(first >= buffer &&
              static_cast<size_t>(first - buffer) + static_cast<size_t>(g_table_num_files) * 68 <=
                  size,
          "selected table lies inside the buffer");
    const int32_t limit = g_table_num_files < 64 ? g_table_num_files : 64;
    for (int32_t i = 0; i < limit; ++i) {
        const auto *e = reinterpret_cast<const file_table_entry_t *>(first + 68 * i);
        char name[49] = {};
        std::memcpy(name, quor::fcs::entry_name(e), 48);
        const file_table_entry_t *byName = get_file_entry_by_file_name(name);
        check(byName != nullptr && std::strncmp(quor::fcs::entry_name(byName), name, 48) == 0,
              "name lookup finds an entry of that name");
        const fileno_t number = quor::fcs::entry_fileno(e);
        const file_table_entry_t *byNumber = get_file_entry_by_fileno(&number);
        check(byNumber != nullptr && quor::fcs::entry_fileno(byNumber) == number,
              "number lookup finds an entry of that number");
        check(byNumber <= e, "number lookup takes the first match");
        char copied[48];
        check(get_file_name_by_fileno(&number, copied) == 0, "name by number");
        fileno_t found = 0;
        check(get_fileno_by_file_name(name, &found) == 0, "number by name");
        file_attributes_t attributes = 0;
        unsigned int maxSize = 0;
        check(get_file_attributes_by_file_name(name, &attributes, &maxSize) == 0,
              "attributes by name");
    }
}

// The EFS layout globals after a load, whatever its status.
void check_layout() {
    if (g_efs_autogen_data_loaded == 0) {
        return;
    }
    const uint32_t limit = g_efs_files_num < 4096 ? g_efs_files_num : 4096;
    for (uint32_t i = 0; i < limit; ++i) {
        check(quor::efs::file_entry(i) != nullptr, "every file index below filesNum has an entry");
        (void)quor::efs::file_placement(i);
    }
    check(quor::efs::file_entry(g_efs_files_num) == nullptr, "no entry at filesNum");
    const uint64_t blocks =
        uint64_t{g_efs_bm_num} + g_efs_valid_block_num + g_efs_non_valid_block_num;
    check(EFS_get_efs_size() == (blocks * 4096 > 0xFFFFFFFFull ? 0 : blocks * 4096),
          "region size follows the layout");
}

void try_buffer(const uint8_t *bytes, size_t length, uint32_t sku) {
    auto *buffer = static_cast<uint8_t *>(std::malloc(length == 0 ? 1 : length));
    if (length != 0) {
        std::memcpy(buffer, bytes, length);
    }
    g_table_num_files = 0;  // the previous input's buffer is gone
    g_table_buf = nullptr;
    // "loaded" set afterwards means this input's layout was taken in whole (a
    // rejected one may leave the globals half-set, as documented).
    g_efs_autogen_data_loaded = 0;
    const uint32_t status = load_file_table(buffer, sku, static_cast<uint32_t>(length));
    check(status <= 1, "status is 0 or 1");
    exercise_lookups(buffer, length);
    if (status == 0) {
        check_layout();
    }
    // The layout loader on its own also takes buffers shorter than a table.
    g_efs_autogen_data_loaded = 0;
    const uint32_t layout = load_autogen_data(buffer, sku, static_cast<uint32_t>(length));
    check(layout == 0 || layout == 1, "layout status is 0 or 1");
    if (layout == 0) {
        check_layout();
    }
    g_table_num_files = 0;
    g_table_buf = nullptr;
    std::free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4 || size > (1u << 20)) {
        return 0;
    }
    const uint32_t sku = quor::load_le32(data);
    try_buffer(data + 4, size - 4, sku);
    if (size - 4 < 1024) {
        std::vector<uint8_t> padded(data + 4, data + size);
        padded.resize(1024, 0);
        try_buffer(padded.data(), padded.size(), sku);
    }
    return 0;
}
