// Image builder: turns a description of a firmware image's configuration data
// into the byte pieces that the storage interface opens (kaMfsQuorInit).
//
// The pieces are:
//   - the file table buffer ("ftbl.bin"): magic "FTBL", one SKU record and one
//     file table per SKU, and an EFS layout block ("EFST") with one layout
//     entry and its file records per SKU that has EFS files;
//   - the vendor configuration table: an FCS buffer of the vendor values;
//   - the tool's configuration partition: a 16-byte header (length of the FCS
//     buffer at offset 8) followed by an FCS buffer of the tool's values;
//   - the AFS region, formatted with afs_init and filled with afs_writefile
//     (every NVAR file plus the deploy marker "/home/vex/deploy");
//   - the EFS region, formatted with EFS_init(true) and filled with EFS_write.
//
// The flash file systems are built through the library's own operations; only
// the two buffer encodings (file table buffer, FCS buffer) are written here.
//
// Process-wide state: building selects the SKU's EFS layout (load_autogen_data),
// formats an EFS image owned by the EFS layer and leaves the AFS driver's flash
// pointer on the built region. Build every image before opening a storage, or
// open the storage again afterwards: kaMfsQuorInit reselects everything.
// Not thread-safe, like the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "include/quorstorage/quorstorage.h"

namespace imagekit {

using Bytes = std::vector<uint8_t>;

// The attribute bits (QUOR_ATTR_*), trailer sizes, the deploy marker's name
// and the partition header are those of the published C header.

// Storage selector of a file-table entry (`storage` byte): 0 and 1 are AFS,
// 2 is EFS.
inline constexpr uint8_t kStorageAfs = QUOR_STORAGE_AFS;
inline constexpr uint8_t kStorageEfs = QUOR_STORAGE_EFS;

// Header flags of a configuration file that is an NVAR.
inline constexpr uint16_t kFlagNvar = QUOR_FCS_FLAG_NVAR;

// One configuration file of a SKU's file table.
struct FileSpec {
    std::string name;         // full path, at most 48 bytes (e.g. "/home/net/mtu")
    uint32_t fileno = 0;      // fileno_t; its top nibble becomes the DFS tag nibble
    uint16_t attributes = 0;  // file_attributes_t
    uint16_t fileIndex = 0;   // index inside AFS (< AfsSpec::fileCount) or EFS
    uint8_t storage = kStorageAfs;
    uint32_t maxSize = 0;        // largest payload; EFS files also get it as their EFS maximum
    uint16_t flags = kFlagNvar;  // header flags written into the FCS buffers

    // Present: the file is in the vendor table / the tool's table with this
    // payload. Absent: the table does not carry the file.
    std::optional<Bytes> vendorValue;
    std::optional<Bytes> toolValue;

    // When the image is deployed, whether the file exists in its file system.
    bool inFileSystem = true;
    // Exact file content. Absent: the current value (tool value, else vendor
    // value, else empty) followed, for attribute bit 0, by a trailer of 40
    // (56 with bit 6) bytes of 0xEE, so that opening the image yields the value.
    std::optional<Bytes> fsContent;
};

// Where and how the deploy marker is stored. Its file-table entry is added to
// every SKU that does not already list QUOR_DEPLOY_MARKER_PATH; the file is written
// (with `content`) only when the image is deployed and has an AFS region.
struct DeployMarkerSpec {
    uint32_t fileno = 0x00FFDE01;
    uint16_t fileIndex = 0;
    Bytes content = {'1'};
};

struct SkuSpec {
    uint32_t skuId = 0;
    std::vector<FileSpec> files;
};

// AFS region. regionSize 0: the image has no AFS region.
struct AfsSpec {
    uint32_t regionSize = 256 * 1024;  // 32768 .. 2097152
    uint32_t fileCount = 1024;         // file slots of the volume, 65 .. 2048
};

// EFS layout and region. EFS files (storage kStorageEfs) are placed in file
// table order: each takes 4 + maxSize bytes of a logical block's 4076-byte
// data area, side by side; a file that does not fit the rest of a block starts
// the next one, and a file longer than one block starts a fresh block and runs
// on into the following blocks.
struct EfsSpec {
    bool present = false;  // build an EFS layout entry and region
    uint32_t blockMapBlocks = 2;
    uint32_t validBlocks = 0;  // 0: as many as the placement needs (at least 1)
    uint32_t spareBlocks = 3;
    uint32_t filesNum = 0;  // 0: highest EFS file index + 1 (at least 16)
    uint32_t wearLevelingThreshold = 100;
    uint32_t layoutId = 1;
};

// A raw file: exact content for file `fileIndex` of AFS or EFS, written
// whether or not the image is deployed. At the index of a file the SKU
// writes (an NVAR, the deploy marker) it replaces that file's content.
struct RawFileSpec {
    uint8_t storage = kStorageAfs;
    uint16_t fileIndex = 0;
    Bytes content;
};

struct ImageDescription {
    std::vector<SkuSpec> skus;  // 1 to 10 SKUs
    uint32_t buildSku = 0;      // the SKU whose tables and regions are built
    AfsSpec afs;
    EfsSpec efs;
    bool deployed = true;            // write the NVAR files and the deploy marker
    bool toolPartition = true;       // false: the image has no configuration partition
    uint32_t toolPartitionSize = 0;  // 0: header + FCS buffer exactly; else padded with 0xFF
    DeployMarkerSpec deployMarker;
    std::vector<RawFileSpec> rawFiles;
};

// The built pieces. The record's pointers point into this object's vectors:
// keep the object alive (and unmoved) while a storage is open on it.
struct ImagePieces {
    Bytes fileTable;
    Bytes vendorCfg;
    Bytes toolPartition;  // empty when the image has none
    Bytes afs;            // empty when the image has no AFS region
    Bytes efs;            // empty when the image has no EFS region
    uint32_t skuId = 0;
};

// Fills a context record (_commonQuorTable, from the public C header or the
// storage interface's header) with pointers into `pieces`. Empty pieces give
// a null pointer and size 0.
template <class Record>
Record makeRecord(ImagePieces &pieces) {
    Record record{};
    auto set = [](auto &buffer, Bytes &bytes) {
        buffer.data = bytes.empty() ? nullptr : bytes.data();
        buffer.size = static_cast<uint32_t>(bytes.size());
    };
    set(record.ostraCfg, pieces.vendorCfg);
    set(record.tavcCfg, pieces.toolPartition);
    set(record.mfs, pieces.afs);
    set(record.ftbl, pieces.fileTable);
    record.afsSkuId = pieces.skuId;
    set(record.efs, pieces.efs);
    return record;
}

// Builds every piece of the description. On failure returns false and, when
// `error` is given, says which step failed and with which library status.
// Refused descriptions: no SKU `buildSku`, 0 or more than 10 SKUs, a name
// longer than 48 bytes, two files of one file system at the same index, EFS
// files that need more logical blocks than validBlocks gives.
bool buildImage(const ImageDescription &description, ImagePieces &out, std::string *error);

// ---------------------------------------------------------------------------
// Encodings (no library state involved)
// ---------------------------------------------------------------------------

// One file of an FCS buffer.
struct FcsFile {
    uint32_t fileno = 0;
    uint16_t flags = kFlagNvar;
    Bytes payload;
};

// The FCS buffer of `files`, in the given order: count, 12-byte entries
// (fileno, data_offset from the start of the buffer, data_size, flags), then
// the payloads back to back. Payloads longer than 0xFFFF bytes are refused by
// returning an empty vector.
Bytes encodeFcsBuffer(const std::vector<FcsFile> &files);

// Decodes an FCS buffer; false when the buffer is malformed (too short for its
// count, or an entry whose payload lies outside it).
bool decodeFcsBuffer(const uint8_t *data, size_t size, std::vector<FcsFile> &files);

// Wraps an FCS buffer into a configuration partition: 16-byte header (bytes
// 0-7 and 12-15 zero, length of the FCS buffer at 8), the buffer, and 0xFF
// padding up to `partitionSize` when that is larger.
Bytes wrapToolPartition(const Bytes &fcsBuffer, uint32_t partitionSize = 0);

// EFS placement of one file (what the layout's file record says).
struct EfsPlacement {
    uint16_t fileIndex = 0;
    uint16_t block = 0;   // logical data block of the first record
    uint16_t offset = 0;  // offset in that block's data area
    uint16_t maxSize = 0;
    std::string name;
};

// Places the EFS files of `sku` as EfsSpec describes; returns the number of
// logical blocks used (0 with no EFS files). False in `ok` when a file's
// maxSize exceeds 0xFFFF.
std::vector<EfsPlacement> placeEfsFiles(const SkuSpec &sku, uint32_t *blocksUsed, bool *ok);

// The file table buffer of the description (every SKU, EFS layout block when
// efs.present, the deploy marker entry added as DeployMarkerSpec says), at
// least 1024 bytes. Empty on a description it cannot encode (no SKU, more than
// 10, a name longer than 48 bytes); `error` says why.
Bytes encodeFileTableBuffer(const ImageDescription &description, std::string *error);

// One SKU's EFS layout entry of a file table buffer, with its file records.
struct DecodedEfsLayout {
    uint32_t skuId = 0;
    uint32_t blockMapBlocks = 0;
    uint32_t validBlocks = 0;
    uint32_t spareBlocks = 0;
    uint32_t filesNum = 0;
    uint32_t wearLevelingThreshold = 0;
    uint32_t layoutId = 0;
    std::vector<EfsPlacement> placements;
};

// A file table buffer read back: every SKU's entries (FileSpec fields of the
// entry only; values and flags live elsewhere) and the EFS layouts.
struct DecodedFileTable {
    std::vector<SkuSpec> skus;
    std::vector<DecodedEfsLayout> efsLayouts;
};

// Decodes a file table buffer as encodeFileTableBuffer writes it; false, with
// the reason in `error`, when it is not one or an offset leaves the buffer.
bool decodeFileTableBuffer(const Bytes &buffer, DecodedFileTable &out, std::string *error);

// The description's SKU files plus the deploy marker entry, as encoded.
std::vector<FileSpec> effectiveFiles(const ImageDescription &description, const SkuSpec &sku);

// The content that buildImage writes for `file` into its file system.
Bytes fileSystemContent(const FileSpec &file);

}  // namespace imagekit
