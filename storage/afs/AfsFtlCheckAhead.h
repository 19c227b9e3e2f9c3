// Records of dynamic pages checked ahead of their reads.
//
// A long file read walks the FAT page after page, and every page is a miss
// of the cache whose record is checked alone: the whole latency of one CRC
// for each. While a file read runs (ftl_check_ahead_begin .. _end) the record
// of a missed dynamic page is checked together with those of the next pages,
// and the next misses take those results instead of checking again.
//
// Only records looked at in place are remembered (the driver hands out a view
// only while no read fault is armed and no calls are recorded, so every read
// the fault seam sees is made as before), and only while nothing is written:
// the cache ends the check-ahead before it writes a line back. A remembered
// result is therefore that of the same bytes at the same place in the flash.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

namespace quor::afs::ftl {

// True while a file read of `ctx` checks ahead.
bool checking_ahead(const AfsContext *ctx);

// True when the record of dynamic page `page`, which lies at `record` in the
// flash (a view), holds the CRC of its data and page number: from the pages
// checked last, or else by checking it together with the pages after it.
bool dynamic_record_good(const AfsContext *ctx, uint32_t page, const uint8_t *record);

}  // namespace quor::afs::ftl
