// Records of dynamic pages checked ahead of their reads. See AfsFtlCheckAhead.h.
#include "afs/AfsFtlCheckAhead.h"

#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsFtlFlash.h"
#include "afs/AfsFtlFormat.h"
#include "afs/AfsFtlState.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/bytes.h"

namespace quor::afs::ftl {

namespace {

// Pages checked together: the FAT pages of 256 chunks (16 KiB of a file).
constexpr uint32_t kAhead = 8;

struct CheckedAhead {
    const AfsContext *ctx = nullptr;      // the file read in progress, or none
    uint32_t first = 0;                   // pages first .. first + kAhead - 1
    uint32_t good = 0;                    // bit i: the record of page first + i is good ...
    const uint8_t *records[kAhead] = {};  // ... where it lies (null: not looked at)
};

// Process-wide, as the loop guard of the chain walks.
CheckedAhead g_ahead;

// The record of dynamic page `page` in place, or null (unmapped, outside the
// map or the units, or no view).
const uint8_t *record_in_place(const AfsContext *ctx, uint32_t page) {
    const FtlControl *c = ftl_control(ctx);
    if (page >= c->pageMapEntries || !page_is_mapped(c, page)) {
        return nullptr;
    }
    const uint32_t unit = mapped_unit(c, page);
    const uint32_t slot = mapped_slot(c, page);
    if (unit >= c->unitCount || slot >= kFtlDynamicSlots) {
        return nullptr;
    }
    return quor::afs::spi_read_view(unit_address(ctx, unit, dynamic_record_offset(slot)),
                                    kFtlRecordSize);
}

// Checks the records of pages first .. first + kAhead - 1 that can be looked
// at in place, all together, and remembers which are good.
void check_ahead(const AfsContext *ctx, uint32_t first) {
    uint8_t records[kAhead * kFtlRecordSize];
    uint16_t pages[kAhead];
    uint16_t crcs[kAhead];
    uint32_t which[kAhead];
    uint32_t n = 0;
    g_ahead.first = first;
    g_ahead.good = 0;
    for (uint32_t i = 0; i < kAhead; ++i) {
        const uint8_t *record = record_in_place(ctx, first + i);
        g_ahead.records[i] = record;
        if (record != nullptr) {
            std::memcpy(records + n * kFtlRecordSize, record, kFtlRecordSize);
            pages[n] = static_cast<uint16_t>(first + i);
            which[n++] = i;
        }
    }
    quor::afs::crc16_of_records(records, kFtlRecordSize, n, pages, crcs);
    for (uint32_t j = 0; j < n; ++j) {
        if (quor::load_le16(records + j * kFtlRecordSize + kFtlPageSize) == crcs[j]) {
            g_ahead.good |= 1u << which[j];
        }
    }
}

}  // namespace

bool checking_ahead(const AfsContext *ctx) {
    return g_ahead.ctx == ctx;
}

bool dynamic_record_good(const AfsContext *ctx, uint32_t page, const uint8_t *record) {
    uint32_t i = page - g_ahead.first;
    if (i >= kAhead || g_ahead.records[i] != record) {
        check_ahead(ctx, page);
        i = 0;
    }
    // A page that was not looked at (its record null) is never good.
    return g_ahead.records[i] == record && ((g_ahead.good >> i) & 1u) != 0;
}

}  // namespace quor::afs::ftl

namespace quor::afs {

void ftl_check_ahead_begin(const AfsContext *context) {
    ftl::g_ahead = ftl::CheckedAhead{};
    ftl::g_ahead.ctx = context;
}

void ftl_check_ahead_end() {
    ftl::g_ahead = ftl::CheckedAhead{};
}

}  // namespace quor::afs
