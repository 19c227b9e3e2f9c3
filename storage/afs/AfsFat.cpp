// Volume access of the AFS file layer. See AfsFat.h.
#include "afs/AfsFat.h"

#include <algorithm>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "common/bytes.h"

namespace quor::afs::file_layer {

namespace {

// Consecutive chunk-entry reads: a process-wide guard against looped chains.
uint32_t g_chainReads = 0;

}  // namespace

// Pointer to the byte at volume address `va` inside its cache line. Only
// metadata is reached this way, and never as a range that crosses a line
// (entries are 2-byte aligned, line sizes multiples of 64).
uint32_t volume_ptr(AfsContext *c, uint32_t va, uint8_t **p) {
    const uint32_t page = va / c->cachePageSize;
    if (page > 0xFFFF) {
        return kAfsIoError;
    }
    uint8_t *line = nullptr;
    const uint32_t status = cache_ptr(c, static_cast<uint16_t>(page), &line);
    if (status != 0) {
        return status;
    }
    *p = line + va % c->cachePageSize;
    return 0;
}

// The FTL's internal "ask again" answers (0xFFFD, 0x9797) never reach the
// caller of a file operation: they mean that no space could be gained.
uint32_t public_status(uint32_t status) {
    return (status == kFtlOutOfSlots || status == kFtlNoGain) ? kAfsNoSpace : status;
}

// Every walk starts the count afresh, not only those that begin with a file
// entry: a write walks a chain and then releases part of it from a chunk, and
// counting both walks together would refuse long files in a full volume.
void reset_chain_guard() {
    g_chainReads = 0;
}

// Reads the file entry of `file` (the first link of its chain) with a fresh
// loop guard, as every operation on one file starts.
uint32_t read_file_entry(AfsContext *c, uint32_t file, uint16_t *entry) {
    reset_chain_guard();
    return get_next_cid(c, file, entry);
}

namespace {

// The entry at `p` if it may follow k in a chain (or, for a file entry, be
// one of the file states): 0, or 5 for a value no chain can hold.
uint32_t checked_entry(const AfsContext *c, uint32_t k, const uint8_t *p, uint16_t *value) {
    const uint32_t total = uint32_t{c->fileCount} + c->chunkCount;
    const uint16_t v = quor::load_le16(p);
    const bool inRange =
        v < total && (v == 0 || v >= c->fileCount || (k >= c->fileCount && v <= kAfsChunkSize));
    const bool special =
        v >= total && k < c->fileCount && (v == kAfsEntryZombie || v == kAfsEntryEmpty);
    if (!inRange && !special) {
        return kAfsIoError;
    }
    *value = v;
    return 0;
}

// Range check and loop guard of reading entry k: 0, or 5.
uint32_t count_entry_read(const AfsContext *c, uint32_t k) {
    const uint32_t total = uint32_t{c->fileCount} + c->chunkCount;
    if (k >= total) {
        return kAfsIoError;
    }
    if (k < c->fileCount) {
        g_chainReads = 0;
    } else {
        if (g_chainReads >= c->chunkCount) {
            return kAfsIoError;
        }
        ++g_chainReads;
    }
    return 0;
}

}  // namespace

// Reads FAT entry k with validation and the loop guard (_afs_get_next_cid).
uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value) {
    uint32_t status = count_entry_read(c, k);
    if (status != 0) {
        return status;
    }
    uint8_t *p = nullptr;
    status = volume_ptr(c, fat_offset(k), &p);
    if (status != 0) {
        return status;
    }
    return checked_entry(c, k, p, value);
}

namespace {

bool in_line(const FatCursor &cursor, uint32_t va) {
    return cursor.line != nullptr && va >= cursor.first && va < cursor.end;
}

inline uint32_t next_cid_through(AfsContext *c, uint32_t k, uint16_t *value, FatCursor *cursor) {
    uint32_t status = count_entry_read(c, k);
    if (status != 0) {
        return status;
    }
    const uint32_t va = fat_offset(k);
    if (!in_line(*cursor, va)) {
        cursor->line = nullptr;
        uint8_t *p = nullptr;
        status = volume_ptr(c, va, &p);
        if (status != 0) {
            return status;
        }
        const uint32_t within = va % c->cachePageSize;
        cursor->line = p - within;
        cursor->first = va - within;
        cursor->end = cursor->first + c->cachePageSize;
    }
    return checked_entry(c, k, cursor->line + (va - cursor->first), value);
}

}  // namespace

uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value, FatCursor *cursor) {
    return next_cid_through(c, k, value, cursor);
}

namespace {

// Appends the link (k, v) to the stretches: to the last one when k follows
// its last chunk, else as a new stretch. False when that needs a stretch
// more than `maxRuns`.
bool add_link(LinkRun *runs, uint32_t maxRuns, uint32_t *runCount, uint32_t k, uint16_t v) {
    if (*runCount != 0) {
        LinkRun &r = runs[*runCount - 1];
        if (k == uint32_t{r.cid} + r.count) {
            ++r.count;
            r.last = v;
            return true;
        }
    }
    if (*runCount == maxRuns) {
        return false;
    }
    runs[(*runCount)++] = LinkRun{static_cast<uint16_t>(k), 1, v};
    return true;
}

#ifndef __SSE2__
// Eight little-endian bytes as one word: entry j of the four at p in bits
// 16 j .. 16 j + 15.
inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
#endif

#ifdef __SSE2__
// Which of the eight entries at `entry` hold first, first + 1, ...: bit 2 j
// (and 2 j + 1) for entry j.
inline uint32_t same_eight(const uint8_t *entry, uint32_t first) {
    const __m128i expected = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(first)),
                                           _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
    const __m128i got = _mm_loadu_si128(reinterpret_cast<const __m128i *>(entry));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(got, expected)));
}
#endif

// How many of the `room` entries from `entry` on hold k + 1, k + 2, ... in
// turn, several entries a step. Entries are 16 bits, so none can hold a value
// above 0xFFFF and the count stops there: the lanes never carry.
uint32_t consecutive_entries(const uint8_t *entry, uint32_t k, uint32_t room) {
    room = std::min(room, 0xFFFF - k);
    uint32_t i = 0;
#ifdef __SSE2__
    // Eight a step; the last eight of the room overlap the steps before them
    // rather than being taken one by one (a line holds 32 entries, 31 after
    // the one its lookup was for).
    for (; i + 8 <= room; i += 8) {
        const uint32_t same = same_eight(entry + 2 * i, k + 1 + i);
        if (same != 0xFFFF) {
            return i + static_cast<uint32_t>(__builtin_ctz(~same)) / 2;
        }
    }
    if (i < room && room >= 8) {
        const uint32_t last = room - 8;
        const uint32_t same = same_eight(entry + 2 * last, k + 1 + last);
        return same == 0xFFFF ? room : last + static_cast<uint32_t>(__builtin_ctz(~same)) / 2;
    }
#else
    constexpr uint64_t kLanes = 0x0001000100010001;
    uint64_t expected = (k + 1) * kLanes + 0x0003000200010000;
    for (; i + 4 <= room; i += 4) {
        const uint64_t diff = load_le64(entry + 2 * i) ^ expected;
        if (diff != 0) {
            return i + static_cast<uint32_t>(__builtin_ctzll(diff)) / 16;
        }
        expected += 4 * kLanes;
    }
#endif
    while (i < room && quor::load_le16(entry + 2 * i) == k + i + 1) {
        ++i;
    }
    return i;
}

// True when entry k would go to a new stretch and there is no room for one.
bool runs_full(const LinkRun *runs, uint32_t maxRuns, uint32_t runCount, uint32_t k) {
    return runCount == maxRuns && k != uint32_t{runs[runCount - 1].cid} + runs[runCount - 1].count;
}

}  // namespace

// The loop of get_next_cid over the entries of one line, with the volume's
// numbers and the guard count held in locals (the guard is stored back on
// every way out).
uint32_t read_link_runs(AfsContext *c, uint16_t cid, uint32_t max, FatCursor *cursor, LinkRun *runs,
                        uint32_t maxRuns, uint32_t *runCount) {
    *runCount = 0;
    if (max == 0 || maxRuns == 0) {
        return 0;
    }
    uint16_t next = 0;
    uint32_t status = next_cid_through(c, cid, &next, cursor);
    if (status != 0) {
        return status;
    }
    add_link(runs, maxRuns, runCount, cid, next);
    uint32_t n = 1;
    const uint32_t files = c->fileCount;
    const uint32_t total = files + c->chunkCount;
    const uint32_t guard = c->chunkCount;
    uint32_t reads = g_chainReads;
    while (n < max && next > kAfsChunkSize) {
        const uint32_t k = next;
        const uint32_t va = fat_offset(k);
        if (va < cursor->first || va >= cursor->end || runs_full(runs, maxRuns, *runCount, k)) {
            break;
        }
        // Consecutive chunks, the usual layout, are confirmed without waiting
        // for each entry: entry k holding k + 1 passes every check as long as
        // k + 1 < total and the guard allows the read, so the addresses are
        // known before the entries are read. (k is above 64 here, as the
        // entry that named it was; the test only makes sure that k + 1 can
        // never be read as a byte count.)
        if (k >= files && k >= kAfsChunkSize && k + 1 < total && reads < guard) {
            const uint32_t room =
                std::min({max - n, (cursor->end - va) / 2, total - 1 - k, guard - reads});
            const uint32_t i = consecutive_entries(cursor->line + (va - cursor->first), k, room);
            if (i != 0) {
                add_link(runs, maxRuns, runCount, k, static_cast<uint16_t>(k + 1));
                LinkRun &r = runs[*runCount - 1];
                r.count = static_cast<uint16_t>(r.count + i - 1);
                r.last = static_cast<uint16_t>(k + i);
                n += i;
                reads += i;
                next = static_cast<uint16_t>(k + i);
                continue;
            }
        }
        // count_entry_read and checked_entry, for an entry known to be a chunk's
        // or a file's.
        if (k >= total) {
            status = kAfsIoError;
            break;
        }
        if (k < files) {
            reads = 0;
        } else if (reads >= guard) {
            status = kAfsIoError;
            break;
        } else {
            ++reads;
        }
        const uint16_t v = quor::load_le16(cursor->line + (va - cursor->first));
        const bool inRange =
            v < total && (v == 0 || v >= files || (k >= files && v <= kAfsChunkSize));
        const bool special =
            v >= total && k < files && (v == kAfsEntryZombie || v == kAfsEntryEmpty);
        if (!inRange && !special) {
            status = kAfsIoError;
            break;
        }
        add_link(runs, maxRuns, runCount, k, v);
        ++n;
        next = v;
    }
    g_chainReads = reads;
    return status;
}

uint32_t set_fat_entry(AfsContext *c, uint32_t k, uint16_t value) {
    uint8_t *p = nullptr;
    const uint32_t status = volume_ptr(c, fat_offset(k), &p);
    if (status != 0) {
        return status;
    }
    quor::store_le16(p, value);
    cache_line_written(c, p);
    return 0;
}

// set_fat_entry for every link of a chain, through one cache lookup per
// line: the line stays the most recently used while its entries are
// written, and each 64-byte page of it is marked written once, before
// another line is looked up, so that the cache ends up as after one
// set_fat_entry per entry.
uint32_t set_chain_entries(AfsContext *c, const uint16_t *cids, size_t count, uint16_t tail) {
    FatCursor cursor;
    uint8_t *pending = nullptr;  // 64-byte page written and not yet marked
    uint32_t status = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t va = fat_offset(cids[i]);
        if (!in_line(cursor, va)) {
            if (pending != nullptr) {
                cache_line_written(c, pending);
                pending = nullptr;
            }
            uint8_t *p = nullptr;
            status = volume_ptr(c, va, &p);
            if (status != 0) {
                return status;
            }
            const uint32_t within = va % c->cachePageSize;
            cursor.line = p - within;
            cursor.first = va - within;
            cursor.end = cursor.first + c->cachePageSize;
        }
        const uint32_t within = va - cursor.first;
        uint8_t *page = cursor.line + within / kCacheFtlPageSize * kCacheFtlPageSize;
        if (page != pending) {
            if (pending != nullptr) {
                cache_line_written(c, pending);
            }
            pending = page;
        }
        quor::store_le16(cursor.line + within, i + 1 < count ? cids[i + 1] : tail);
    }
    if (pending != nullptr) {
        cache_line_written(c, pending);
    }
    return 0;
}

namespace {

// Appends the links of `runs` to `chain`.
uint32_t append_links(const LinkRun *runs, uint32_t runCount, std::vector<Link> *chain) {
    size_t links = 0;
    for (uint32_t r = 0; r < runCount; ++r) {
        links += runs[r].count;
    }
    try {
        // Geometric growth: a chain is appended to one cache line at a time.
        if (chain->capacity() < chain->size() + links) {
            chain->reserve(std::max(chain->size() + links, 2 * chain->capacity()));
        }
    } catch (const std::bad_alloc &) {
        return kAfsNoMemory;
    }
    for (uint32_t r = 0; r < runCount; ++r) {
        const LinkRun &run = runs[r];
        for (uint32_t i = 0; i + 1 < run.count; ++i) {
            chain->push_back(
                Link{static_cast<uint16_t>(run.cid + i), static_cast<uint16_t>(run.cid + i + 1)});
        }
        chain->push_back(Link{static_cast<uint16_t>(run.cid + run.count - 1), run.last});
    }
    return 0;
}

}  // namespace

// Reads the file entry and the whole chain behind it. `entry` receives the
// file entry; `chain` the chunks in file order. The chain is read a cache
// line of entries at a time, with the checks and guard of get_next_cid on
// every entry.
uint32_t load_chain(AfsContext *c, uint32_t index, uint16_t *entry, std::vector<Link> *chain) {
    uint32_t status = read_file_entry(c, index, entry);
    if (status != 0) {
        return status;
    }
    constexpr uint32_t kRuns = 16;
    LinkRun runs[kRuns];
    FatCursor cursor;
    uint16_t cid = *entry;
    while (is_cid(c, cid)) {
        uint32_t runCount = 0;
        status = read_link_runs(c, cid, c->chunkCount, &cursor, runs, kRuns, &runCount);
        if (status != 0) {
            return status;
        }
        status = append_links(runs, runCount, chain);
        if (status != 0) {
            return status;
        }
        const uint16_t next = runs[runCount - 1].last;
        if (next <= kAfsChunkSize) {
            break;
        }
        cid = next;
    }
    return 0;
}

uint32_t chain_size(const std::vector<Link> &chain) {
    if (chain.empty()) {
        return 0;
    }
    return kAfsChunkSize * static_cast<uint32_t>(chain.size() - 1) + chain.back().entry;
}

// Writes a file entry and flushes it; a failure discards the cache.
uint32_t commit_file_entry(AfsContext *c, uint32_t index, uint16_t value) {
    uint32_t status = set_fat_entry(c, index, value);
    if (status == 0) {
        status = cache_flush(c);
    }
    if (status != 0) {
        cache_invalidate(c);
    }
    return status;
}

}  // namespace quor::afs::file_layer
