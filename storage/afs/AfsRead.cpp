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
};

struct ReadTarget {
    uint8_t *out;
    uint64_t offset;
    uint64_t end;        // offset + requested length
    uint64_t delivered;  // file position up to which bytes were copied
};

uint32_t read_run(AfsContext *c, const ReadRun &run, uint8_t *work, ReadTarget *t) {
    if (run.count == 0) {
        return 0;
    }
    const uint32_t status =
        afs_physical_ftl_read_data_pages(c, work, chunk_va(c, run.firstCid), run.count);
    if (status != 0) {
        return status;
    }
    for (uint32_t i = 0; i < run.count; ++i) {
        const uint64_t pos = run.firstPos + uint64_t{kAfsChunkSize} * i;
        const uint32_t used = (i + 1 == run.count) ? run.lastUsed : kAfsChunkSize;
        const uint64_t from = std::max(pos, t->offset);
        const uint64_t to = std::min(pos + used, t->end);
        if (from < to) {
            std::memcpy(t->out + (from - t->offset), work + kAfsChunkSize * i + (from - pos),
                        static_cast<size_t>(to - from));
            t->delivered = to;
        }
    }
    return 0;
}

uint32_t read_chain(AfsContext *c, uint16_t first, uint8_t *work, ReadTarget *t) {
    ReadRun run;
    uint64_t pos = 0;
    uint16_t cid = first;
    reset_chain_guard();
    while (is_cid(c, cid) && pos < t->end) {
        uint16_t next = 0;
        uint32_t status = get_next_cid(c, cid, &next);
        if (status != 0) {
            return status;
        }
        const uint32_t used = next > kAfsChunkSize ? kAfsChunkSize : next;
        if (pos + used > t->offset) {
            const bool extend = run.count != 0 && cid == run.firstCid + run.count &&
                                run.count < kReadBatchChunks && chunk_allocated(c, cid) &&
                                chunk_allocated(c, run.firstCid) && run.lastUsed == kAfsChunkSize;
            if (!extend) {
                status = read_run(c, run, work, t);
                if (status != 0) {
                    return status;
                }
                run = ReadRun{cid, 0, pos, 0};
            }
            ++run.count;
            run.lastUsed = used;
        }
        pos += used;
        if (next <= kAfsChunkSize) {
            break;
        }
        cid = next;
    }
    return read_run(c, run, work, t);
}
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
