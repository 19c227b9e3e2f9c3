// AFS file layer: a fixed table of numbered files over the FTL's virtual
// address space.
//
// Volume layout (byte offsets in the virtual address space, little-endian):
//   0                      volume header (14 bytes, see below)
//   14                     file entries, one u16 per file index
//   14 + 2 * fileCount     chunk entries, one u16 per data chunk
//   dynamicAreaSize        data chunks of 64 bytes; chunk j at + 64 * j
// File entries and chunk entries form the FAT; the entry of FAT index k (a
// "chunk id", cid) is at 14 + 2k; chunk j has cid fileCount + j.
//   file entry:  0x0000 no file, 0xFFFF empty file, 0xFFFE zombie, else first cid
//   chunk entry: a cid >= fileCount links to the next chunk; 0..64 ends the
//                chain with the byte count of the last chunk
// Volume header:
//   0  u32 magic 0x724F6201
//   4  u8  headerParam1, 5 u8 headerParam2 low byte, 6 u8 headerParam2 bits 8..11, 7 u8 0
//   8  u32 volumeSize
//   12 u16 fileCount
//
// Files are written copy-on-write: new chunks are written and linked first,
// the one FAT entry that switches the file to them is written last, and only
// then are the replaced chunks trimmed. All metadata goes through the page
// cache (AfsCache.h), data chunks straight to the page-operation table, by
// which alone the FTL is reached.
// The context's size table, allocation bitmap and cache arrays are owned
// here (C heap); afs_free_context releases them with the FTL's state.
//
// Statuses: 0 ok, 2 no such file, 5 I/O error or damaged FAT, 12 out of
// memory, 22 invalid argument, 27 file too large, 28 no space, 99 wrong state.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"
#include "common/export.h"

inline constexpr uint32_t kAfsOk = 0;
inline constexpr uint32_t kAfsNotFound = 2;
inline constexpr uint32_t kAfsIoError = 5;
inline constexpr uint32_t kAfsNoMemory = 12;
inline constexpr uint32_t kAfsInvalid = 22;
inline constexpr uint32_t kAfsTooLarge = 27;
inline constexpr uint32_t kAfsNoSpace = 28;
inline constexpr uint32_t kAfsWrongState = 99;

// afs_init flag bits.
inline constexpr uint32_t kAfsKeepSizeTable = 0x1;
inline constexpr uint32_t kAfsMustBeClear = 0x2;
inline constexpr uint32_t kAfsFtlMode = 0x4;
inline constexpr uint32_t kAfsNoBitmap = 0x8;
inline constexpr uint32_t kAfsNewHeader = 0x10;
inline constexpr uint32_t kAfsMountFtl = 0x20;
inline constexpr uint32_t kAfsZeroContext = 0x40;
inline constexpr uint32_t kAfsPreloadCache = 0x80;
inline constexpr uint32_t kAfsForceFormat = 0x100;
inline constexpr uint32_t kAfsInitDriver = 0x20000;
inline constexpr uint32_t kAfsAllowFormat = 0x40000;
inline constexpr uint32_t kAfsEraseFormat = 0x80000;
// The flags the DFS front end mounts with.
inline constexpr uint32_t kAfsDfsMountFlags = 0x20025;

// afs_writefile flag: truncate the file at the end of the write.
inline constexpr uint32_t kAfsWriteTruncate = 0x1;

inline constexpr uint32_t kAfsVolumeMagic = 0x724F6201;
inline constexpr uint32_t kAfsHeaderSize = 14;
inline constexpr uint32_t kAfsChunkSize = 64;
inline constexpr uint32_t kAfsMaxFileSize = 262144;
inline constexpr uint16_t kAfsEntryNone = 0x0000;
inline constexpr uint16_t kAfsEntryZombie = 0xFFFE;
inline constexpr uint16_t kAfsEntryEmpty = 0xFFFF;
inline constexpr uint32_t kAfsWorkBufferSize = 4096;

// Mounts (and, as the flags allow, formats) the volume of the partition at
// flashOffset/flashSize of flashBase. 0, 5, 12, 22, or an FTL/cache status.
QUOR_C_API uint32_t afs_init(AfsContext *context, void *flashBase, uint32_t pageSize,
                             uint32_t cacheLines, uint32_t maxFiles, uint32_t flashOffset,
                             uint32_t flashSize, uint32_t flags, uint32_t headerParam1,
                             uint32_t headerParam2);

// Size of file `index` in bytes. 0, 2, 5, 22.
QUOR_C_API uint32_t afs_getfilesize(AfsContext *context, int32_t index, uint32_t *size);

// Reads up to *length bytes from `offset`; *length receives the count
// delivered (0 at or past the end). 0, 2, 5, 22.
QUOR_C_API uint32_t afs_readfile(AfsContext *context, int32_t index, int32_t offset,
                                 int32_t *length, void *buffer);

// Writes `length` bytes at `offset` (zero fill past the end); flag bit 0 cuts
// the file at offset + length. 0, 5, 12, 22, 27, 28.
QUOR_C_API uint32_t afs_writefile(AfsContext *context, int32_t index, uint32_t offset,
                                  uint32_t length, const void *data, uint32_t flags);

// Deletes file `index`. 0, 2, 5, 22.
QUOR_C_API uint32_t afs_deletefile(AfsContext *context, int32_t index);

// Reserves the free slot `index` as a zombie (reads as absent, cleared at the
// next mount unless written). 0, 5, 22, 99 (slot in use).
QUOR_C_API uint32_t afs_mark_zombie_file(AfsContext *context, int32_t index);

// New cache geometry: pageSize a multiple of 64 from 64 to 65472, 2 to 1000
// lines. 0, 12, 22, 99, or a flush status.
QUOR_C_API uint32_t afs_setcache(AfsContext *context, uint32_t pageSize, uint32_t lineCount);

// Reclaim entries (FTL pass-throughs).
QUOR_C_API uint32_t afs_force_full_reclaim(AfsContext *context);
QUOR_C_API uint32_t afs_force_dirty_erase(AfsContext *context);
QUOR_C_API uint32_t afs_idle_reclaim(AfsContext *context);
QUOR_C_API uint32_t afs_idle_reclaim_needed(AfsContext *context);
extern "C" uint32_t afs_get_idle_reclaim_enabled(AfsContext *context);
extern "C" void afs_set_idle_reclaim_enabled(AfsContext *context);

// Releases the size table / everything the volume allocated (not the record
// itself and not workBuffer, which belong to the caller).
extern "C" void afs_free_file_size_table(AfsContext *context);
QUOR_C_API void afs_free_context(AfsContext *context);

// Sub-partition access for the embedding framework: driver reads and writes
// at flashOffset + offset. The driver's status is returned.
extern "C" uint32_t afs_sub_pt_read(AfsContext *context, uint32_t offset, uint32_t length,
                                    void *destination);
extern "C" uint32_t afs_sub_pt_write(AfsContext *context, uint32_t offset, uint32_t length,
                                     const void *source);
// Does nothing; returns 0.
extern "C" uint32_t afs_sub_pt_trim(AfsContext *context, uint32_t offset, uint32_t length);

namespace quor::afs {

// Geometry of a volume: file slots, data chunks, dynamic and total VA bytes.
struct VolumeGeometry {
    uint32_t fileCount;
    uint32_t chunkCount;
    uint32_t dynamicAreaSize;
    uint32_t volumeSize;
};

// Dynamic area for fileCount + chunkCount FAT entries behind the header,
// rounded up to a multiple of 64.
uint32_t dynamic_area_size(uint32_t fileCount, uint32_t chunkCount);

// Geometry recorded by a new volume header on a partition of `flashSize`
// bytes whose FTL sizes its data area at `dataVas` bytes: chunkCount is
// exactly 122 per reserved unit, and the dynamic area leaves reclaim slack.
VolumeGeometry new_volume_geometry(uint32_t flashSize, uint32_t fileCount, uint32_t dataVas);

// Checks a header's fileCount and volumeSize against the partition and
// derives the geometry; false when the FTL could not hold such a volume.
bool geometry_from_header(uint32_t flashSize, uint32_t fileCount, uint32_t volumeSize,
                          VolumeGeometry *out);

}  // namespace quor::afs
