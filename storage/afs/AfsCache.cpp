#include "afs/AfsCache.h"

#include <cstdlib>
#include <cstring>

#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "common/bytes.h"

// Layout of the block behind cacheDescriptors:
//   [0, 4L)            line descriptors (word 0 links/flags, word 1 tag)
//   [4L, 4L + 4)       u32 line size the block was built for
//   [4L + 4, M)        per line, ceil(lineSize / 64 / 8) bytes of page dirty bits
//   [M, M + 2L)        u16 per line: its predecessor in the recency list
//   [M + 2L, +2)       u16 the last line of the recency list
//   [M + 2L + 2, +2H)  u16 index of the valid lines by tag: H (a power of two
//                      of at least 2L) slots, linear probing, 0xFFFF empty
// The line size is kept with the block so that the line arithmetic always
// matches the storage that was allocated, whatever cachePageSize says. The
// predecessors, the last line and the index make a lookup, a miss's victim
// and a move to the front constant time, however many lines there are.

namespace {

constexpr uint16_t kValid = 0x1;
constexpr uint16_t kDirty = 0x2;
constexpr uint16_t kFlagMask = 0x3;

constexpr uint16_t kNoLine = 0xFFFF;  // an empty index slot

struct CacheView {
    uint8_t *block;
    uint8_t *data;
    uint32_t lines;
    uint32_t lineSize;
    uint32_t maskBytes;
    uint8_t *prev;   // u16 per line
    uint8_t *tail;   // u16
    uint8_t *index;  // u16 per slot
    uint32_t slots;  // a power of two
};

uint32_t mask_bytes_for(uint32_t lineSize) {
    return (lineSize / kCacheFtlPageSize + 7) / 8;
}

// The smallest power of two of at least 2 * lines (lines is 1 to 1000).
uint32_t index_slots_for(uint32_t lines) {
    return 1u << (32 - __builtin_clz(2 * lines - 1));
}

size_t block_size_for(uint32_t lines, uint32_t lineSize) {
    return 4u * size_t{lines} + 4u + size_t{mask_bytes_for(lineSize)} * lines + 2u * lines + 2u +
           2u * size_t{index_slots_for(lines)};
}

__attribute__((always_inline)) inline CacheView view_of(const AfsContext *context) {
    CacheView v{};
    v.block = static_cast<uint8_t *>(context->cacheDescriptors);
    v.data = context->cacheData;
    v.lines = context->cacheLineCount;
    v.lineSize = quor::load_le32(v.block + 4u * v.lines);
    v.maskBytes = mask_bytes_for(v.lineSize);
    v.prev = v.block + 4u * v.lines + 4u + size_t{v.maskBytes} * v.lines;
    v.tail = v.prev + 2u * v.lines;
    v.index = v.tail + 2;
    v.slots = index_slots_for(v.lines);
    return v;
}

uint16_t word0(const CacheView &v, uint32_t line) {
    return quor::load_le16(v.block + 4u * line);
}
void set_word0(const CacheView &v, uint32_t line, uint16_t w) {
    quor::store_le16(v.block + 4u * line, w);
}
uint16_t tag_of(const CacheView &v, uint32_t line) {
    return quor::load_le16(v.block + 4u * line + 2);
}
void set_tag(const CacheView &v, uint32_t line, uint16_t tag) {
    quor::store_le16(v.block + 4u * line + 2, tag);
}
uint16_t next_of(const CacheView &v, uint32_t line) {
    return static_cast<uint16_t>(word0(v, line) >> 2);
}
void set_next(const CacheView &v, uint32_t line, uint16_t next) {
    set_word0(v, line, static_cast<uint16_t>((next << 2) | (word0(v, line) & kFlagMask)));
}
void set_flags(const CacheView &v, uint32_t line, uint16_t flags) {
    set_word0(v, line, static_cast<uint16_t>((word0(v, line) & ~kFlagMask) | flags));
}
uint8_t *page_mask(const CacheView &v, uint32_t line) {
    return v.block + 4u * v.lines + 4u + v.maskBytes * line;
}
uint8_t *line_data(const CacheView &v, uint32_t line) {
    return v.data + static_cast<size_t>(v.lineSize) * line;
}

uint16_t prev_of(const CacheView &v, uint32_t line) {
    return quor::load_le16(v.prev + 2u * line);
}
void set_prev(const CacheView &v, uint32_t line, uint16_t prev) {
    quor::store_le16(v.prev + 2u * line, prev);
}
uint16_t tail_of(const CacheView &v) {
    return quor::load_le16(v.tail);
}
void set_tail(const CacheView &v, uint16_t line) {
    quor::store_le16(v.tail, line);
}

// Moves `line` to the front of the recency list.
__attribute__((always_inline)) inline void move_to_front(AfsContext *context, const CacheView &v,
                                                         uint16_t line) {
    const uint16_t prev = prev_of(v, line);
    if (line == context->cacheHead || prev == kCacheEndOfList) {
        return;
    }
    const uint16_t next = next_of(v, line);
    set_next(v, prev, next);
    if (next == kCacheEndOfList) {
        set_tail(v, prev);
    } else {
        set_prev(v, next, prev);
    }
    set_next(v, line, context->cacheHead);
    set_prev(v, context->cacheHead, line);
    set_prev(v, line, kCacheEndOfList);
    context->cacheHead = line;
}

// ---- index of the valid lines by tag ----

uint16_t index_at(const CacheView &v, uint32_t slot) {
    return quor::load_le16(v.index + 2u * slot);
}
void set_index_at(const CacheView &v, uint32_t slot, uint16_t line) {
    quor::store_le16(v.index + 2u * slot, line);
}
uint32_t home_slot(const CacheView &v, uint16_t tag) {
    return (tag * 40503u >> 4) & (v.slots - 1);  // spreads consecutive tags
}

// The valid line holding cache page `tag`, or kNoLine.
uint16_t index_find(const CacheView &v, uint16_t tag) {
    for (uint32_t slot = home_slot(v, tag);; slot = (slot + 1) & (v.slots - 1)) {
        const uint16_t line = index_at(v, slot);
        if (line == kNoLine || tag_of(v, line) == tag) {
            return line;
        }
    }
}

// Enters `line` (valid, its tag set, not yet in the index).
void index_insert(const CacheView &v, uint16_t line) {
    uint32_t slot = home_slot(v, tag_of(v, line));
    while (index_at(v, slot) != kNoLine) {
        slot = (slot + 1) & (v.slots - 1);
    }
    set_index_at(v, slot, line);
}

// Takes `line` out of the index (if it is there), moving back the entries
// after it in its probe sequence so that every entry stays reachable.
void index_erase(const CacheView &v, uint16_t line) {
    const uint32_t mask = v.slots - 1;
    uint32_t hole = home_slot(v, tag_of(v, line));
    while (index_at(v, hole) != line) {
        if (index_at(v, hole) == kNoLine) {
            return;
        }
        hole = (hole + 1) & mask;
    }
    for (uint32_t slot = (hole + 1) & mask; index_at(v, slot) != kNoLine;
         slot = (slot + 1) & mask) {
        const uint16_t moved = index_at(v, slot);
        // An entry may fill the hole unless its home lies after the hole,
        // up to the entry itself (cyclically).
        const uint32_t home = home_slot(v, tag_of(v, moved));
        if (((slot - home) & mask) >= ((slot - hole) & mask)) {
            set_index_at(v, hole, moved);
            hole = slot;
        }
    }
    set_index_at(v, hole, kNoLine);
}

void index_clear(const CacheView &v) {
    std::memset(v.index, 0xFF, 2u * size_t{v.slots});
}

// Only the dynamic area is cached: data chunks bypass the cache, so no line holds a stale chunk.
bool cached_page(const AfsContext *context, uint32_t va) {
    return va < context->dynamicAreaSize;
}

// Writes the dirty 64-byte pages of a line back; each page's dirty bit is
// cleared once it is written, so a failure leaves the rest pending.
uint32_t write_back(AfsContext *context, const CacheView &v, uint16_t line) {
    // What a read has checked ahead holds only while nothing is written.
    quor::afs::ftl_check_ahead_end();
    const AfsPhysicalHandler *h = afs_physical_handlers(context);
    uint8_t *mask = page_mask(v, line);
    const uint32_t base = static_cast<uint32_t>(tag_of(v, line)) * v.lineSize;
    for (uint32_t p = 0; p < v.lineSize / kCacheFtlPageSize; ++p) {
        const uint8_t bit = static_cast<uint8_t>(1u << (p % 8));
        if ((mask[p / 8] & bit) == 0) {
            continue;
        }
        if (!cached_page(context, base + p * kCacheFtlPageSize)) {
            mask[p / 8] = static_cast<uint8_t>(mask[p / 8] & ~bit);
            continue;
        }
        const uint32_t status =
            h->write_page(context, base + p * kCacheFtlPageSize, kCacheFtlPageSize,
                          line_data(v, line) + p * kCacheFtlPageSize, context->flashOffset);
        if (status != 0) {
            return status;
        }
        mask[p / 8] = static_cast<uint8_t>(mask[p / 8] & ~bit);
    }
    set_flags(v, line, kValid);
    return 0;
}

uint32_t read_line(AfsContext *context, const CacheView &v, uint16_t line, uint16_t tag) {
    const AfsPhysicalHandler *h = afs_physical_handlers(context);
    const uint32_t base = static_cast<uint32_t>(tag) * v.lineSize;
    for (uint32_t p = 0; p < v.lineSize / kCacheFtlPageSize; ++p) {
        if (!cached_page(context, base + p * kCacheFtlPageSize)) {
            std::memset(line_data(v, line) + p * kCacheFtlPageSize, 0, kCacheFtlPageSize);
            continue;
        }
        const uint32_t status =
            h->read_page(context, base + p * kCacheFtlPageSize, kCacheFtlPageSize,
                         line_data(v, line) + p * kCacheFtlPageSize, context->flashOffset);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

// Line index of a pointer into the line storage, or kCacheEndOfList when the
// pointer lies outside it.
uint16_t line_of(const CacheView &v, const uint8_t *pointer) {
    if (pointer < v.data || v.lineSize == 0) {
        return kCacheEndOfList;
    }
    const size_t delta = static_cast<size_t>(pointer - v.data);
    const size_t line = delta / v.lineSize;
    return line < v.lines ? static_cast<uint16_t>(line) : kCacheEndOfList;
}

void mark_dirty(AfsContext *context, const CacheView &v, uint16_t line, uint32_t firstByte,
                uint32_t length) {
    move_to_front(context, v, line);
    uint8_t *mask = page_mask(v, line);
    const uint32_t last = firstByte + (length == 0 ? 0 : length - 1);
    for (uint32_t p = firstByte / kCacheFtlPageSize;
         p <= last / kCacheFtlPageSize && p < v.lineSize / kCacheFtlPageSize; ++p) {
        mask[p / 8] = static_cast<uint8_t>(mask[p / 8] | (1u << (p % 8)));
    }
    set_flags(v, line, static_cast<uint16_t>((word0(v, line) & kFlagMask) | kDirty));
}

}  // namespace

namespace quor::afs {

void cache_release(AfsContext *context) {
    std::free(context->cacheDescriptors);
    std::free(context->cacheData);
    context->cacheDescriptors = nullptr;
    context->cacheData = nullptr;
}

void cache_range_written(AfsContext *context, const uint8_t *pointer, uint32_t length) {
    if (context == nullptr || context->cacheDescriptors == nullptr) {
        return;
    }
    const CacheView v = view_of(context);
    const uint16_t line = line_of(v, pointer);
    if (line == kCacheEndOfList) {
        return;
    }
    const uint32_t offset = static_cast<uint32_t>(pointer - line_data(v, line));
    mark_dirty(context, v, line, offset, length);
}

}  // namespace quor::afs

extern "C" uint32_t cache_init(AfsContext *context, uint32_t pageSize, uint16_t lineCount) {
    // The callers check the geometry; a cache that could not work is refused
    // here as well rather than built.
    if (pageSize == 0 || pageSize % kCacheFtlPageSize != 0 || lineCount == 0 ||
        lineCount > kCacheMaxLines) {
        return kCacheInvalid;
    }
    if (context->cacheDescriptors != nullptr) {
        if (context->cacheData == nullptr) {
            return kCacheInconsistent;
        }
        const uint32_t status = cache_flush(context);
        if (status != 0) {
            return status;
        }
        quor::afs::cache_release(context);
    } else if (context->cacheData != nullptr) {
        return kCacheInconsistent;
    }
    context->cacheLineCount = lineCount;
    auto *block = static_cast<uint8_t *>(std::calloc(1, block_size_for(lineCount, pageSize)));
    if (block == nullptr) {
        return kCacheNoMemory;
    }
    context->cacheDescriptors = block;
    quor::store_le32(block + 4u * lineCount, pageSize);
    const size_t dataSize = static_cast<size_t>(pageSize) * lineCount;
    context->cacheData = static_cast<uint8_t *>(std::malloc(dataSize == 0 ? 1 : dataSize));
    if (context->cacheData == nullptr) {
        return kCacheNoMemory;
    }
    const CacheView v = view_of(context);
    context->cacheHead = 0;
    for (uint32_t i = 0; i < lineCount; ++i) {
        const uint16_t next = (i + 1 < lineCount) ? static_cast<uint16_t>(i + 1) : kCacheEndOfList;
        set_word0(v, i, static_cast<uint16_t>(next << 2));
        set_prev(v, i, i == 0 ? kCacheEndOfList : static_cast<uint16_t>(i - 1));
    }
    set_tail(v, static_cast<uint16_t>(lineCount - 1));
    index_clear(v);
    return kCacheOk;
}

extern "C" uint32_t cache_ptr(AfsContext *context, uint16_t pageIndex, uint8_t **out) {
    if (context->cacheDescriptors == nullptr || context->cacheData == nullptr ||
        context->cacheLineCount == 0) {
        return kCacheInconsistent;
    }
    const CacheView v = view_of(context);
    // The line used last, the usual one, without the index.
    const uint16_t head = context->cacheHead;
    if (head < v.lines && (word0(v, head) & kValid) != 0 && tag_of(v, head) == pageIndex) {
        *out = line_data(v, head);
        return 0;
    }
    uint16_t line = index_find(v, pageIndex);
    if (line != kNoLine) {
        move_to_front(context, v, line);
        *out = line_data(v, line);
        return 0;
    }
    // A miss takes the least recently used line.
    line = tail_of(v);
    move_to_front(context, v, line);
    if ((word0(v, line) & (kValid | kDirty)) == (kValid | kDirty)) {
        const uint32_t status = write_back(context, v, line);
        if (status != 0) {
            return status;
        }
    }
    // The storage is about to be overwritten: the line no longer holds its
    // old page, and stays dropped (not valid) if the read fails.
    if ((word0(v, line) & kValid) != 0) {
        index_erase(v, line);
    }
    set_flags(v, line, 0);
    const uint32_t status = read_line(context, v, line, pageIndex);
    if (status != 0) {
        return status;
    }
    set_tag(v, line, pageIndex);
    set_flags(v, line, kValid);
    index_insert(v, line);
    // One byte for lines of up to 512 bytes: no call of memset for it.
    if (v.maskBytes == 1) {
        *page_mask(v, line) = 0;
    } else {
        std::memset(page_mask(v, line), 0, v.maskBytes);
    }
    *out = line_data(v, line);
    return 0;
}

extern "C" void cache_line_written(AfsContext *context, const uint8_t *pointer) {
    quor::afs::cache_range_written(context, pointer, 1);
}

extern "C" uint32_t cache_flush(AfsContext *context) {
    if (context->cacheDescriptors == nullptr) {
        return 0;
    }
    const CacheView v = view_of(context);
    // One walk records the recency order; writing back does not change it, so
    // visiting it backwards writes dirty lines least recently used first.
    uint16_t order[kCacheMaxLines];
    uint32_t count = 0;
    for (uint16_t line = context->cacheHead;
         line != kCacheEndOfList && count < v.lines && count < kCacheMaxLines;
         line = next_of(v, line)) {
        order[count++] = line;
    }
    while (count > 0) {
        const uint16_t line = order[--count];
        if ((word0(v, line) & (kValid | kDirty)) == (kValid | kDirty)) {
            const uint32_t status = write_back(context, v, line);
            if (status != 0) {
                return status;
            }
        }
    }
    return 0;
}

extern "C" void cache_invalidate(AfsContext *context) {
    if (context->cacheDescriptors == nullptr) {
        return;
    }
    const CacheView v = view_of(context);
    for (uint32_t i = 0; i < v.lines; ++i) {
        set_word0(v, i, static_cast<uint16_t>(word0(v, i) & ~kValid));
    }
    index_clear(v);
}
