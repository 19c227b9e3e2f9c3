// Reads of the AFS file layer: file sizes and file contents, staged in runs
// of consecutive chunks for bulk reads from the FTL.
#include <algorithm>
#include <cstring>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsFat.h"

using namespace quor::afs::file_layer;

namespace {

// Chunks staged per bulk read: runs of 66-byte records up to 4030 bytes.
constexpr uint32_t kReadBatchChunks = 4030 / kFtlRecordSize;

// ---- read ---------------------------------------------------------------------

// A run of chunks with consecutive ids staged for one bulk read.
struct ReadRun {
    uint16_t firstCid = 0;
    uint32_t count = 0;
    uint64_t firstPos = 0;  // file position of the first chunk
    uint32_t lastUsed = 0;  // used bytes of the last chunk of the run
    bool firstAllocated = false;
};

struct ReadTarget {
    uint8_t *out;
    uint64_t offset;
    uint64_t end;        // offset + requested length
    uint64_t delivered;  // file position up to which bytes were copied
};

// Reads the run's chunks into `work` and, once all of them have read
// correctly, copies the requested part of them straight into the caller's
// buffer: a run's chunks are full but perhaps the last, so that part is one
// contiguous range of the file.
uint32_t read_run(AfsContext *c, const ReadRun &run, uint8_t *work, ReadTarget *t) {
    if (run.count == 0) {
        return 0;
    }
    const uint64_t runEnd = run.firstPos + uint64_t{kAfsChunkSize} * (run.count - 1) + run.lastUsed;
    const uint64_t from = std::max(run.firstPos, t->offset);
    const uint64_t to = std::min(runEnd, t->end);
    quor::afs::DataSlice slice;
    if (from < to) {
        slice.dest = t->out + (from - t->offset);
        slice.skip = static_cast<uint32_t>(from - run.firstPos);
        slice.length = static_cast<uint32_t>(to - from);
    } else {
        slice.dest = work;  // nothing requested: the chunks are still read and checked
    }
    const uint32_t status =
        quor::afs::ftl_read_data_slice(c, chunk_va(c, run.firstCid), run.count, work, slice);
    if (status != 0) {
        return status;
    }
    if (from < to) {
        t->delivered = to;
    }
    return 0;
}

// Adds the chunk of `link` at file position `pos` to the run, or reads the
// run so far and starts a new one with it.
uint32_t take_link(AfsContext *c, const Link &link, uint64_t pos, uint8_t *work, ReadRun *run,
                   ReadTarget *t) {
    const uint32_t used = link.entry > kAfsChunkSize ? kAfsChunkSize : link.entry;
    if (pos + used <= t->offset) {
        return 0;
    }
    const uint16_t cid = link.cid;
    const bool extend = run->count != 0 && cid == run->firstCid + run->count &&
                        run->count < kReadBatchChunks && chunk_allocated(c, cid) &&
                        run->firstAllocated && run->lastUsed == kAfsChunkSize;
    if (!extend) {
        const uint32_t status = read_run(c, *run, work, t);
        if (status != 0) {
            return status;
        }
        *run = ReadRun{cid, 0, pos, 0, chunk_allocated(c, cid)};
    }
    ++run->count;
    run->lastUsed = used;
    return 0;
}

// Takes the chunks of one stretch of the chain in order, from file position
// *pos on: runs of full chunks that lengthen the run being built are added
// in one step (their allocation bits looked up a word at a time), every other
// chunk goes through take_link. The chunks whose entries name another chunk
// are full: all but the last, and the last too when its entry names one (the
// chain goes on in the next stretch).
uint32_t take_stretch(AfsContext *c, const LinkRun &stretch, uint64_t *pos, uint8_t *work,
                      ReadRun *run, ReadTarget *t) {
    const uint32_t full = stretch.last > kAfsChunkSize ? stretch.count : stretch.count - 1u;
    uint32_t i = 0;
    while (i < stretch.count) {
        const uint32_t cid = stretch.cid + i;
        if (i < full && run->count != 0 && run->count < kReadBatchChunks &&
            run->lastUsed == kAfsChunkSize && cid == run->firstCid + run->count &&
            run->firstAllocated && *pos >= t->offset) {
            const uint32_t room = std::min(full - i, kReadBatchChunks - run->count);
            const uint32_t n = allocated_from(c, cid, room);
            if (n != 0) {
                run->count += n;
                *pos += uint64_t{kAfsChunkSize} * n;
                i += n;
                continue;
            }
        }
        const auto entry = static_cast<uint16_t>(i + 1 < stretch.count ? cid + 1 : stretch.last);
        const uint32_t status =
            take_link(c, Link{static_cast<uint16_t>(cid), entry}, *pos, work, run, t);
        if (status != 0) {
            return status;
        }
        *pos += entry > kAfsChunkSize ? kAfsChunkSize : entry;
        ++i;
    }
    return 0;
}

// Walks the chain as far as the requested range reaches, a cache line of
// links at a time, and reads the chunks in runs. Reading ahead in the chain
// never goes past the last link the range needs, so a bad link after it is
// never seen, as with a walk link by link.
uint32_t read_chain(AfsContext *c, uint16_t first, uint8_t *work, ReadTarget *t) {
    constexpr uint32_t kLinkBatch = 1024;
    constexpr uint32_t kStretches = 32;
    ReadRun run;
    uint64_t pos = 0;
    uint16_t cid = first;
    FatCursor cursor;
    LinkRun stretches[kStretches];
    reset_chain_guard();
    while (is_cid(c, cid) && pos < t->end) {
        const uint64_t wanted = (t->end - pos + kAfsChunkSize - 1) / kAfsChunkSize;
        uint32_t got = 0;
        const uint32_t walked =
            read_link_runs(c, cid, static_cast<uint32_t>(std::min<uint64_t>(wanted, kLinkBatch)),
                           &cursor, stretches, kStretches, &got);
        for (uint32_t i = 0; i < got; ++i) {
            const uint32_t status = take_stretch(c, stretches[i], &pos, work, &run, t);
            if (status != 0) {
                return status;
            }
        }
        if (walked != 0) {
            return walked;
        }
        if (got == 0 || stretches[got - 1].last <= kAfsChunkSize) {
            break;
        }
        cid = stretches[got - 1].last;
    }
    return read_run(c, run, work, t);
}
// Reads from this length on check ahead: the chunks of eight FAT pages.
constexpr uint32_t kCheckAheadLength = 8 * kCacheFtlPageSize / 2 * kAfsChunkSize;

// Checking ahead for the time of one file read, on every way out.
class CheckAheadScope {
  public:
    CheckAheadScope(const AfsContext *c, bool on) : on_(on) {
        if (on_) {
            quor::afs::ftl_check_ahead_begin(c);
        }
    }
    ~CheckAheadScope() {
        if (on_) {
            quor::afs::ftl_check_ahead_end();
        }
    }
    CheckAheadScope(const CheckAheadScope &) = delete;
    CheckAheadScope &operator=(const CheckAheadScope &) = delete;

  private:
    bool on_;
};
}  // namespace

extern "C" uint32_t afs_getfilesize(AfsContext *context, int32_t index, uint32_t *size) {
    if (!valid_file(context, index) || size == nullptr) {
        return kAfsInvalid;
    }
    if (context->fileSizeTable != nullptr) {
        const uint32_t known = context->fileSizeTable[index];
        if (known == 0xFFFFFFFF) {
            return kAfsNotFound;
        }
        *size = known;
        return 0;
    }
    uint16_t entry = 0;
    std::vector<Link> chain;
    const uint32_t status = load_chain(context, static_cast<uint32_t>(index), &entry, &chain);
    if (status != 0) {
        return status;
    }
    if (entry == kAfsEntryNone || entry == kAfsEntryZombie) {
        return kAfsNotFound;
    }
    *size = chain_size(chain);
    return 0;
}

extern "C" uint32_t afs_readfile(AfsContext *context, int32_t index, int32_t offset,
                                 int32_t *length, void *buffer) {
    if (!valid_file(context, index) || length == nullptr || *length < 0 || offset < 0 ||
        (buffer == nullptr && *length > 0)) {
        return kAfsInvalid;
    }
    uint16_t entry = 0;
    const uint32_t status = read_file_entry(context, static_cast<uint32_t>(index), &entry);
    if (status != 0) {
        // Nothing was delivered: the count says so, as after any failed read.
        *length = 0;
        return status;
    }
    if (entry == kAfsEntryNone || entry == kAfsEntryZombie) {
        *length = 0;
        return kAfsNotFound;
    }
    if (entry == kAfsEntryEmpty || *length == 0) {
        *length = 0;
        return 0;
    }
    // A long read checks the records of the FAT pages it misses several at a
    // time (AfsFtlCheckAhead.h); a short one would check pages it never reads.
    CheckAheadScope checkAhead(context, static_cast<uint32_t>(*length) >= kCheckAheadLength);
    // Without the caller's work buffer a local one of the same size serves.
    uint8_t local[kAfsWorkBufferSize];
    uint8_t *work = context->workBuffer != nullptr ? context->workBuffer : local;
    ReadTarget target{static_cast<uint8_t *>(buffer), static_cast<uint64_t>(offset),
                      static_cast<uint64_t>(offset) + static_cast<uint64_t>(*length),
                      static_cast<uint64_t>(offset)};
    const uint32_t readStatus = read_chain(context, entry, work, &target);
    *length = static_cast<int32_t>(target.delivered - target.offset);
    return readStatus;
}
