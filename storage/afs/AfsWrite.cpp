// Copy-on-write write path of the AFS file layer: new chunks are written and
// linked first, the one FAT entry that switches the file to them is written
// last, and only then are the replaced chunks trimmed.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsAllocation.h"
#include "afs/AfsFat.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "common/crc.h"

using namespace quor::afs::file_layer;

namespace {

constexpr uint32_t kCrc16Start = 0xFFFF;  // register a page record's checksum starts from

// ---- write --------------------------------------------------------------------

struct WritePlan {
    uint32_t offset;
    uint32_t length;
    uint64_t end;  // offset + length
    bool truncate;
    uint32_t oldSize;
    uint32_t firstPos;  // first chunk position that is rewritten
    uint32_t newCount;  // new chunks written from firstPos on
};

// Every write, truncating or not and of any length, rewrites the chunk
// positions from the first byte that changes (the offset, or the old end when
// the write starts past it) to the end of the write. A truncating write that
// starts past the end therefore zero-fills up to its end, so that the chain
// always holds exactly the size the file reports.
WritePlan make_plan(uint32_t offset, uint32_t length, bool truncate, uint32_t oldSize) {
    WritePlan plan{};
    plan.offset = offset;
    plan.length = length;
    plan.end = uint64_t{offset} + length;
    plan.truncate = truncate;
    plan.oldSize = oldSize;
    plan.firstPos = std::min(offset, oldSize) / kAfsChunkSize;
    const uint64_t keptBytes = uint64_t{plan.firstPos} * kAfsChunkSize;
    plan.newCount =
        plan.end > keptBytes
            ? static_cast<uint32_t>((plan.end + kAfsChunkSize - 1) / kAfsChunkSize) - plan.firstPos
            : 0;
    return plan;
}

// True when the write covers the whole chunk at position `pos`: its bytes
// are the caller's, taken from the caller's buffer without a copy.
bool covered(const WritePlan &plan, uint32_t pos) {
    const uint64_t base = uint64_t{pos} * kAfsChunkSize;
    return base >= plan.offset && base + kAfsChunkSize <= plan.end;
}

const uint8_t *covered_bytes(const WritePlan &plan, uint32_t pos, const uint8_t *data) {
    return data + (uint64_t{pos} * kAfsChunkSize - plan.offset);
}

// The 64 bytes of the new chunk at position `pos`: the caller's data where
// the write covers it, old bytes that stay part of the file, else 0. An old
// chunk that still holds part of the file is read (and checked) even when
// the write covers it whole. `*bytes` points into the caller's data or at
// `scratch`.
uint32_t chunk_bytes(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                     uint32_t pos, const uint8_t *data, uint8_t scratch[kAfsChunkSize],
                     const uint8_t **bytes) {
    const uint64_t base = uint64_t{pos} * kAfsChunkSize;
    const uint64_t oldLimit =
        plan.truncate ? std::min<uint64_t>(plan.oldSize, plan.offset) : plan.oldSize;
    const bool whole = covered(plan, pos);
    if (!whole) {
        std::memset(scratch, 0, kAfsChunkSize);
    }
    if (pos < old.size() && base < oldLimit) {
        uint8_t oldBytes[kAfsChunkSize];
        const uint32_t status = ops(c)->read_page(c, chunk_va(c, old[pos].cid), kAfsChunkSize,
                                                  oldBytes, c->flashOffset);
        if (status != 0) {
            return status;
        }
        if (!whole) {
            std::memcpy(scratch, oldBytes,
                        static_cast<size_t>(std::min<uint64_t>(kAfsChunkSize, oldLimit - base)));
        }
    }
    if (whole) {
        *bytes = covered_bytes(plan, pos, data);
        return 0;
    }
    const uint64_t from = std::max<uint64_t>(plan.offset, base);
    const uint64_t to = std::min<uint64_t>(plan.end, base + kAfsChunkSize);
    if (from < to) {
        std::memcpy(scratch + (from - base), data + (from - plan.offset),
                    static_cast<size_t>(to - from));
    }
    *bytes = scratch;
    return 0;
}

// New chunks go out in batches: the checksums of a batch's covered chunks
// are computed together first (a CPU step that touches no flash), then every
// chunk is allocated, filled and written in turn, as one at a time would.
constexpr uint32_t kChunkBatch = 64;

// CRC-16 registers after the data of the covered chunks among positions
// [first, first + count): they lie 64 bytes apart in the caller's buffer.
void covered_crcs(const WritePlan &plan, uint32_t first, uint32_t count, const uint8_t *data,
                  uint16_t *crcs) {
    uint32_t i = 0;
    while (i < count && !covered(plan, first + i)) {
        ++i;
    }
    uint32_t n = 0;
    while (i + n < count && covered(plan, first + i + n)) {
        ++n;
    }
    if (n != 0) {
        quor::crc::crc16_each64(kCrc16Start, covered_bytes(plan, first + i, data), kAfsChunkSize, n,
                                crcs + i);
    }
}

// Writes one new chunk: through the FTL with its checksum half done when the
// volume sits on the FTL, else through the page operations.
uint32_t write_chunk(AfsContext *c, uint16_t cid, const uint8_t *bytes, bool haveCrc,
                     uint16_t crc) {
    if (ops(c) != &afs_physical_spi_handler) {
        return ops(c)->write_page(c, chunk_va(c, cid), kAfsChunkSize, bytes, c->flashOffset);
    }
    if (!haveCrc) {
        crc = quor::crc::crc16(kCrc16Start, bytes, kAfsChunkSize);
    }
    return quor::afs::ftl_write_chunk(c, chunk_va(c, cid), bytes, crc);
}

// The positions whose new chunk is 64 bytes of the caller's and nothing
// else, [first, end): covered whole (chunk_bytes takes them from the
// caller's buffer), and with no old chunk read for them (past the old chain
// or past the old bytes that stay part of the file).
struct FreshChunks {
    uint64_t first;
    uint64_t end;
};

FreshChunks fresh_chunks(const WritePlan &plan, const std::vector<Link> &old) {
    const uint64_t oldLimit =
        plan.truncate ? std::min<uint64_t>(plan.oldSize, plan.offset) : plan.oldSize;
    const uint64_t firstCovered = (uint64_t{plan.offset} + kAfsChunkSize - 1) / kAfsChunkSize;
    const uint64_t noOldRead =
        std::min<uint64_t>(old.size(), (oldLimit + kAfsChunkSize - 1) / kAfsChunkSize);
    return FreshChunks{std::max(firstCovered, noOldRead), plan.end / kAfsChunkSize};
}

// Fills and writes the new chunk at `pos`, handed out as `cid`.
uint32_t fill_and_write(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                        uint32_t pos, const uint8_t *data, uint16_t crc, uint16_t cid,
                        std::vector<uint16_t> *cids) {
    cids->push_back(cid);
    uint8_t scratch[kAfsChunkSize];
    const uint8_t *bytes = nullptr;
    const uint32_t status = chunk_bytes(c, plan, old, pos, data, scratch, &bytes);
    if (status != 0) {
        return status;
    }
    return write_chunk(c, cid, bytes, covered(plan, pos), crc);
}

// A stretch of fresh chunks from `pos` on, `count` of them (their CRC
// registers at `crcs`), handed out and written by the FTL in one call; the
// chunk whose allocation it leaves to the file layer is allocated and
// written here. *advanced = the chunks done or failed.
uint32_t write_fresh_chunks(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                            uint32_t pos, uint32_t count, const uint8_t *data, const uint16_t *crcs,
                            std::vector<uint16_t> *cids, uint32_t *advanced) {
    uint16_t ids[kChunkBatch];
    quor::afs::ChunkRun run;
    run.data = covered_bytes(plan, pos, data);
    run.crcs = crcs;
    run.count = count;
    run.ids = ids;
    const uint32_t status = quor::afs::ftl_allocate_and_write_chunks(c, &run);
    cids->insert(cids->end(), ids, ids + run.done);
    *advanced = run.done;
    if (status != 0 || run.allocStatus == 0) {
        return status;
    }
    // The allocation of the next chunk goes on as allocate_for_write would.
    *advanced += 1;
    uint16_t cid = 0;
    const uint32_t allocated = continue_allocation(c, &cid, run.allocStatus);
    if (allocated != 0) {
        return allocated;
    }
    return fill_and_write(c, plan, old, pos + run.done, data, crcs[run.done], cid, cids);
}

// Allocates, fills and writes the new chunks; on failure the chunks obtained
// so far are released with the cache discarded. Chunks bypass the cache (it
// holds only the dynamic area), so they reach the flash before the entries
// that link them. On the FTL's own allocation, stretches of chunks that are
// the caller's bytes alone go to the FTL in one call each.
uint32_t write_new_chunks(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                          const uint8_t *data, std::vector<uint16_t> *cids) {
    const bool direct = ops(c) == &afs_physical_spi_handler;
    const bool runs = direct && c->ftlAllocation == 1;
    const FreshChunks fresh = fresh_chunks(plan, old);
    uint16_t crcs[kChunkBatch] = {};
    for (uint32_t done = 0; done < plan.newCount; done += kChunkBatch) {
        const uint32_t count = std::min(kChunkBatch, plan.newCount - done);
        if (direct) {
            covered_crcs(plan, plan.firstPos + done, count, data, crcs);
        }
        for (uint32_t i = 0; i < count;) {
            const uint32_t pos = plan.firstPos + done + i;
            uint32_t status = 0;
            uint32_t advanced = 1;
            if (runs && pos >= fresh.first && pos < fresh.end) {
                const auto n =
                    static_cast<uint32_t>(std::min<uint64_t>(count - i, fresh.end - pos));
                status = write_fresh_chunks(c, plan, old, pos, n, data, crcs + i, cids, &advanced);
            } else {
                uint16_t cid = 0;
                status = allocate_for_write(c, &cid);
                if (status == 0) {
                    status = fill_and_write(c, plan, old, pos, data, crcs[i], cid, cids);
                }
            }
            if (status != 0) {
                release_resources(c, cids->empty() ? 0 : (*cids)[0],
                                  static_cast<uint32_t>(cids->size()), cids->data(), true);
                return status;
            }
            i += advanced;
        }
    }
    return 0;
}

// Value of the last new chunk's entry (or of the predecessor when no chunk
// is new): the byte count of the new end, or, without truncation, whatever
// keeps the rest of the old chain or the old, longer end.
uint16_t tail_value(const WritePlan &plan, const std::vector<Link> &old) {
    const uint32_t endInChunk = static_cast<uint32_t>(plan.end % kAfsChunkSize);
    const uint16_t count = static_cast<uint16_t>(endInChunk == 0 ? kAfsChunkSize : endInChunk);
    if (plan.truncate || plan.newCount == 0) {
        return count;
    }
    const uint32_t lastPos = plan.firstPos + plan.newCount - 1;
    if (lastPos < old.size()) {
        return std::max(count, old[lastPos].entry);
    }
    return count;
}

uint32_t flush_or_discard(AfsContext *c, const std::vector<uint16_t> &cids) {
    const uint32_t status = cache_flush(c);
    if (status != 0) {
        release_resources(c, cids.empty() ? 0 : cids[0], static_cast<uint32_t>(cids.size()),
                          cids.data(), true);
    }
    return status;
}

// Links the new chunks and switches the file to them. The new chain is
// flushed before the switching entry is written, so that a power loss
// leaves either the old file or the complete new one, whatever the cache's
// line size and eviction order.
uint32_t link_new_chunks(AfsContext *c, uint32_t index, const WritePlan &plan,
                         const std::vector<Link> &old, const std::vector<uint16_t> &cids) {
    const uint16_t tail = tail_value(plan, old);
    uint32_t status = set_chain_entries(c, cids.data(), cids.size(), tail);
    if (status != 0) {
        release_resources(c, cids[0], static_cast<uint32_t>(cids.size()), cids.data(), true);
        return status;
    }
    status = flush_or_discard(c, cids);
    if (status != 0) {
        return status;
    }
    const uint32_t predecessor = plan.firstPos == 0 ? index : old[plan.firstPos - 1].cid;
    uint16_t value = tail;
    if (!cids.empty()) {
        value = cids[0];
    } else if (predecessor == index) {
        value = kAfsEntryEmpty;  // a file entry never holds a byte count
    }
    status = set_fat_entry(c, predecessor, value);
    if (status != 0) {
        release_resources(c, cids.empty() ? 0 : cids[0], static_cast<uint32_t>(cids.size()),
                          cids.data(), true);
        return status;
    }
    return flush_or_discard(c, cids);
}

// Trims the old chunks from position `from` on, `count` of them.
uint32_t release_old(AfsContext *c, const std::vector<Link> &old, uint32_t from, uint32_t count) {
    if (count == 0 || from >= old.size()) {
        return release_resources(c, 0, 0, nullptr, false);
    }
    std::vector<uint16_t> list;
    try {
        list.reserve(count);
    } catch (const std::bad_alloc &) {
        return kAfsNoMemory;
    }
    for (uint32_t i = 0; i < count && from + i < old.size(); ++i) {
        list.push_back(old[from + i].cid);
    }
    return release_resources(c, list[0], static_cast<uint32_t>(list.size()), list.data(), false);
}

uint32_t copy_on_write(AfsContext *c, uint32_t index, const std::vector<Link> &old,
                       const WritePlan &plan, const uint8_t *data) {
    std::vector<uint16_t> cids;
    try {
        cids.reserve(plan.newCount);
    } catch (const std::bad_alloc &) {
        return kAfsNoMemory;
    }
    uint32_t status = write_new_chunks(c, plan, old, data, &cids);
    if (status != 0) {
        return status;
    }
    status = link_new_chunks(c, index, plan, old, cids);
    if (status != 0) {
        return status;
    }
    const uint32_t newSize = plan.truncate
                                 ? static_cast<uint32_t>(plan.end)
                                 : std::max(static_cast<uint32_t>(plan.end), plan.oldSize);
    set_size(c, index, newSize);
    const uint32_t oldCount = static_cast<uint32_t>(old.size());
    uint32_t replaced = 0;
    if (oldCount > plan.firstPos) {
        replaced = plan.truncate ? oldCount - plan.firstPos
                                 : std::min(plan.newCount, oldCount - plan.firstPos);
    }
    return release_old(c, old, plan.firstPos, replaced);
}

// A zero-length write without truncation: an existing chain is left alone,
// any other slot becomes an existing empty file.
uint32_t touch_file(AfsContext *c, uint32_t index, uint16_t entry) {
    if (is_cid(c, entry)) {
        return cache_flush(c);
    }
    const uint32_t status = commit_file_entry(c, index, kAfsEntryEmpty);
    if (status == 0) {
        set_size(c, index, 0);
    }
    return status;
}

// A truncating zero-length write at offset 0: the file becomes empty.
uint32_t truncate_to_empty(AfsContext *c, uint32_t index, const std::vector<Link> &old) {
    const uint32_t status = commit_file_entry(c, index, kAfsEntryEmpty);
    if (status != 0) {
        return status;
    }
    set_size(c, index, 0);
    return release_old(c, old, 0, static_cast<uint32_t>(old.size()));
}
}  // namespace

extern "C" uint32_t afs_writefile(AfsContext *context, int32_t index, uint32_t offset,
                                  uint32_t length, const void *data, uint32_t flags) {
    if (!valid_file(context, index) || (length != 0 && data == nullptr)) {
        return kAfsInvalid;
    }
    const bool truncate = (flags & kAfsWriteTruncate) != 0;
    const uint64_t end = uint64_t{offset} + length;
    if ((end > kAfsMaxFileSize || length > kAfsMaxFileSize || offset > kAfsMaxFileSize) &&
        (truncate || length != 0)) {
        return kAfsTooLarge;
    }
    const auto file = static_cast<uint32_t>(index);
    uint16_t entry = 0;
    std::vector<Link> old;
    const uint32_t status = load_chain(context, file, &entry, &old);
    if (status != 0) {
        return status;
    }
    if (length == 0 && !truncate) {
        return public_status(touch_file(context, file, entry));
    }
    if (length == 0 && offset == 0) {
        return public_status(truncate_to_empty(context, file, old));
    }
    const WritePlan plan = make_plan(offset, length, truncate, chain_size(old));
    return public_status(
        copy_on_write(context, file, old, plan, static_cast<const uint8_t *>(data)));
}
