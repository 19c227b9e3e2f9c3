/* QuorStorage — the C interface of libquorstorage.so.
 *
 * One header for C (C11) and C++ callers: the storage interface (open an
 * image, read and resize NVARs, commit), the DFS front end and mini VFS over
 * the two flash file systems, the configuration file table and store, and
 * the AFS and EFS entry points. Records are laid out for x86-64 with natural
 * alignment unless marked packed.
 *
 * A session, as the image tool runs it (examples/ holds a C and a C++ one):
 *
 *   1. Read the pieces of the image into memory and fill a _commonQuorTable.
 *   2. kaMfsQuorInit(&record, callback)   opens the storage.
 *   3. kaMfsNvarGet / kaMfsNvarResize      read and change NVARs (write the new
 *                                          bytes into the buffer handed out).
 *   4. kaMfsNvarTerm(true)                 commits: every NVAR is written into
 *                                          its file in the AFS or EFS region
 *                                          (in place, in the caller's buffers),
 *                                          and a new tool configuration is built.
 *   5. kaMfsGetBuildTavCfgFcsBuffer        hands out that configuration; the
 *                                          caller wraps it in the 16-byte
 *                                          partition header (QUOR_TAVC_*) and
 *                                          saves it with the two regions.
 *   6. kaMfsNvarTerm(false)                commits once more and closes; the
 *                                          storage keeps nothing of the image.
 *
 * Buffers: the library copies the vendor table, the tool partition and the
 * file table buffer; it mounts the AFS and EFS regions in place and writes
 * into them (closing is a commit, and a mount may finish work that a cut
 * interrupted, so even a session that changes no NVAR writes into them). They must stay valid, and
 * must not move, until the storage is closed or the next kaMfsQuorInit.
 *
 * The library keeps process-wide state (one open storage, one AFS context,
 * one EFS context); callers must not call it from two threads at once. It
 * never writes to standard output or standard error: every failure of the
 * storage interface reaches the status callback, and nothing else does.
 * File-system calls return POSIX-style status numbers (QUOR_DFS_*, 0 success);
 * the configuration store returns its own codes (QUOR_FCS_*); the storage
 * interface returns booleans and explains failures through the callback.
 *
 * Symbols: the library's calls to its own functions and its own variables
 * bind inside it, so host functions or variables of the same names (crc16,
 * flush, gpBuffer...) neither replace nor see the library's. A host that reads
 * one of the variables below compiles that code with -fPIC, or with
 * -mno-direct-extern-access (GCC) / -fno-direct-access-external-data (Clang):
 * the linker refuses to copy them into an executable, where the copy would
 * silently go stale. */
#ifndef QUORSTORAGE_QUORSTORAGE_H
#define QUORSTORAGE_QUORSTORAGE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- names and numbers --------------------------------------------------- */

/* Configuration tables of an open storage, for kaMfsNvarGet and
 * kamfsCheckNvarExists (kaMfsGetFcsFileNameMapping(0, 1, 2) gives them too). */
#define QUOR_TABLE_VENDOR 0x10000006u  /* the vendor defaults (ostra.cfg) */
#define QUOR_TABLE_TOOL 0x10000007u    /* the tool's configuration (tavc.cfg) */
#define QUOR_TABLE_CURRENT 0x10000008u /* current values: vendor overlaid by tool and files */

/* Severity passed to the status callback. The library reports every failure
 * with QUOR_LEVEL_ERROR. */
#define QUOR_LEVEL_ERROR 4

/* The tool's configuration partition (tavc.cfg): a 16-byte header whose
 * little-endian 32-bit word at offset 8 is the length of the FCS buffer that
 * follows it; the library reads no other header byte (keep what the image had). A
 * length of 0 means an empty configuration. */
#define QUOR_TAVC_HEADER_SIZE 16u
#define QUOR_TAVC_LENGTH_OFFSET 8u

/* The file whose non-empty content in AFS marks a deployed file system: only
 * then are NVAR values loaded from, and committed into, their files. */
#define QUOR_DEPLOY_MARKER_PATH "/home/vex/deploy"

/* The file table buffer (ftbl.bin) starts with this little-endian magic, "FTBL". */
#define QUOR_FILE_TABLE_MAGIC 0x4C425446u

/* file_table_entry_t.attributes bits read by the storage interface. */
#define QUOR_ATTR_TRAILER                                                               \
    0x0001u                            /* the file ends in a trailer after the value;   \
                                        * the NVAR is read-only once deployed and never \
                                        * written back */
#define QUOR_ATTR_NOT_LOADED 0x0002u   /* the value is never loaded from its file */
#define QUOR_ATTR_LONG_TRAILER 0x0040u /* with QUOR_ATTR_TRAILER: 56-byte trailer, not 40 */
#define QUOR_TRAILER_SHORT_SIZE 40u
#define QUOR_TRAILER_LONG_SIZE 56u

/* _cfg_file_entry_t.flags bit 0: the file is an NVAR (it carries a value). */
#define QUOR_FCS_FLAG_NVAR 0x0001u

/* file_table_entry_t.storage: the file system that holds the file. */
#define QUOR_STORAGE_AFS 1u /* 0 means AFS as well */
#define QUOR_STORAGE_EFS 2u

/* DFS file number fields:
 *   bits 0-10   file index inside its file system       QUOR_DFS_INDEX_MASK
 *   bits 11-12  selector: 0 AFS, 2 EFS (1, 3 refused)    QUOR_DFS_SELECTOR_*
 *   bits 13-27  0 (a set bit puts the index out of range)
 *   bits 28-31  tag nibble (the fileno's top nibble); ignored by the file systems
 * The file system receives the number ANDed with QUOR_DFS_FS_NUMBER_MASK. */
#define QUOR_DFS_INDEX_MASK 0x7FFu
#define QUOR_DFS_SELECTOR_SHIFT 11u
#define QUOR_DFS_SELECTOR_MASK (3u << QUOR_DFS_SELECTOR_SHIFT)
#define QUOR_DFS_SELECTOR_AFS 0u
#define QUOR_DFS_SELECTOR_EFS 2u
#define QUOR_DFS_TAG_SHIFT 28u
#define QUOR_DFS_FS_NUMBER_MASK 0x0FFFE7FFu
/* The DFS file number of file `index` of the file system `selector`. */
#define QUOR_DFS_NUMBER(selector, index) \
    ((((uint32_t)(selector)) << QUOR_DFS_SELECTOR_SHIFT) | ((uint32_t)(index)&QUOR_DFS_INDEX_MASK))

/* Flags of dfs_write and afs_writefile. */
#define QUOR_WRITE_TRUNCATE 1u /* cut the file after the bytes written */

/* Statuses of the DFS front end (POSIX numbering). */
#define QUOR_DFS_OK 0u
#define QUOR_DFS_NOT_FOUND 2u          /* no such file, or the file system is not mounted */
#define QUOR_DFS_IO_ERROR 5u           /* any other file-system failure */
#define QUOR_DFS_INVALID 22u           /* bad argument or refused selector */
#define QUOR_DFS_TOO_BIG 27u           /* the file would exceed its maximum */
#define QUOR_DFS_NO_SPACE 28u          /* the volume is full */
#define QUOR_DFS_PASS_THROUGH 562u     /* passed through from AFS by dfs_write */
#define QUOR_DFS_NO_MEMORY 0xFFFFFFFFu /* dfs_init could not allocate its context */

/* Statuses of the configuration file store (createHandle ... flush). */
#define QUOR_FCS_OK 0u
#define QUOR_FCS_NULL_ARGUMENT 1u
#define QUOR_FCS_NAME_NOT_IN_TABLE 2u
#define QUOR_FCS_NO_MORE_FILES 3u
#define QUOR_FCS_NOT_FOUND 4u
#define QUOR_FCS_SIZE 5u /* buffer too small, or blob shorter than its header */
#define QUOR_FCS_NULL_HANDLE 6u
#define QUOR_FCS_NOT_IN_TABLE 8u
#define QUOR_FCS_OUT_OF_MEMORY 9u
#define QUOR_FCS_BUFFER_REFUSED 10u
#define QUOR_FCS_EXISTS 11u
#define QUOR_FCS_TOO_LARGE 12u

/* Statuses of pathToFileNumber and readVfs. */
#define QUOR_VFS_FOUND 0u
#define QUOR_VFS_NULL_RESULT 1u
#define QUOR_VFS_NAME_NOT_IN_TABLE 2u
#define QUOR_VFS_READ_FAILED 6u

/* ---- storage interface ------------------------------------------------- */

/* A piece of the image handed to the library: pointer and length. */
typedef struct QuorBuffer {
    uint8_t *data;
    uint32_t size;
} QuorBuffer;

/* The pieces of one image. ostraCfg (the vendor configuration table, an FCS
 * buffer) and ftbl (the file table buffer) are mandatory; tavcCfg (the tool's
 * partition, QUOR_TAVC_*), mfs (the AFS region) and efs (the EFS region, at
 * least kaMfsGetEfsSize() bytes) may be empty (size 0). afsSkuId selects the
 * SKU's file table and EFS layout. A size other than 0 with a null pointer is
 * refused. */
typedef struct _commonQuorTable {
    QuorBuffer ostraCfg, tavcCfg, mfs, ftbl;
    uint32_t afsSkuId;
    QuorBuffer efs;
} _commonQuorTable;

/* Receives every report: level (QUOR_LEVEL_ERROR), the catalogue code (0 to
 * 410, names in errors/taverrors.h), the catalogue text of the code and a
 * detail naming what failed (the NVAR, file, SKU or piece, or the status of
 * the layer below: " Library status code: <n>"). Both strings live only for
 * the duration of the call. A failing call may report several times, the
 * cause first. */
typedef void (*QuorStatusCallback)(int32_t level, int32_t code, const char *errorText,
                                   const char *detail);

/* Opens the storage on `record`, first closing (without committing) whatever
 * an earlier session left open. Copies the vendor table, the tool partition
 * and the file table buffer; mounts the AFS and EFS regions in place; when the
 * AFS holds QUOR_DEPLOY_MARKER_PATH, loads every NVAR's current value from its
 * file. `callback` (may be null: reports are then dropped) stays registered
 * for every later call. True when open; false after reporting. */
bool kaMfsQuorInit(const _commonQuorTable *record, QuorStatusCallback cb);
/* The AFS region is mounted (the storage is open with an AFS region). */
bool kaMfsIsInitialized(void);
/* The configuration tables are loaded (the storage is open). */
bool kaFcsIsInitialized(void);
/* AFS is mounted and holds a non-empty QUOR_DEPLOY_MARKER_PATH. */
bool kaMfsIsVfsDeployed(void);
/* Hands out NVAR `name` of table `table` (QUOR_TABLE_*): *value points at the
 * library's own copy of the value (null when empty), *size is its length;
 * optionally whether it may be changed (false for a deployed
 * QUOR_ATTR_TRAILER file) and its maximum size. A name without the "/home/"
 * prefix is looked up with it. The buffer belongs to the storage: valid until
 * the next resize of that NVAR, the next commit or the end of the session.
 * Writing into the buffer of QUOR_TABLE_CURRENT changes the value that the
 * next commit writes. False after reporting (null argument, unknown name,
 * not an NVAR). */
bool kaMfsNvarGet(const char *name, uint8_t **value, uint32_t *size, uint32_t table,
                  bool *modifiable, uint32_t *maxSize);
/* Gives NVAR `name` of the current values `newSize` bytes, keeping the first
 * min(old, new) and leaving the rest unset, and hands out the (possibly moved)
 * buffer, null for 0; earlier pointers to that value are invalid. False after
 * reporting; the NVAR is then unchanged. The size is checked against the
 * file's maximum at commit. */
bool kaMfsNvarResize(const char *name, uint8_t **value, uint32_t newSize);
/* Whether table `table` has a file `name` (no report when it does not). */
bool kamfsCheckNvarExists(const char *name, uint32_t table);
/* Index 0, 1, 2 → QUOR_TABLE_VENDOR, _TOOL, _CURRENT; any other index reports
 * and gives QUOR_TABLE_CURRENT. */
uint32_t kaMfsGetFcsFileNameMapping(uint32_t index);
/* After a successful kaMfsNvarTerm(true): the new tool configuration as an
 * FCS buffer (without the partition header). The buffer belongs to the
 * storage and stays valid until the next commit or the end of the session;
 * copy it. False when an argument is null or there is none. */
bool kaMfsGetBuildTavCfgFcsBuffer(uint8_t **buffer, uint32_t *size);
/* Bytes of the EFS region that the selected SKU's layout needs (0 before a
 * layout is loaded). */
uint32_t kaMfsGetEfsSize(void);
/* Commits: builds a new tool configuration from the current values (sizes
 * checked against each file's maximum) and, when deployed, writes every NVAR
 * without QUOR_ATTR_TRAILER into its file. `keepOpen`: the new configuration
 * becomes the tool's table and the session goes on; otherwise the storage is
 * closed. False after reporting; a failed commit reports 345 last and closes
 * the storage whatever `keepOpen` says (the regions may then hold some of the
 * new values: keep the caller's copies of the pieces to fall back on). */
bool kaMfsNvarTerm(bool keepOpen);

/* ---- AFS ------------------------------------------------------------- */

/* Per-volume record of AFS (natural alignment, x86-64 offsets; 120 bytes).
 * Allocated zero-filled by its owner (the DFS front end owns dfs_context) and
 * filled by afs_init; read it, do not write it. */
typedef struct AfsContext {
    uint32_t dynamicAreaSize;   /*   0: bytes of the dynamic area (multiple of 64) */
    uint32_t nextChunk;         /*   4: chunk cursor when the FTL does not allocate */
    uint32_t flashOffset;       /*   8: byte offset of the partition in the image */
    uint32_t flashSize;         /*  12: partition size in bytes */
    uint32_t volumeSize;        /*  16: bytes of the whole volume (dynamic + reserved) */
    uint32_t volumeAttributes;  /*  20: bytes 4..7 of the volume header */
    uint32_t lastFatPageOffset; /*  24: chunk-table page last checked for trimming */
    void *ftl;                  /*  32: the flash translation layer's state */
    void *handlers;             /*  40: page-operation table */
    uint32_t *allocationBitmap; /*  48: one bit per data chunk, set = allocated */
    void *cacheDescriptors;     /*  56: cache line descriptors */
    uint16_t cacheHead;         /*  64: most recently used cache line */
    uint32_t *fileSizeTable;    /*  72: one size per file, or null */
    uint8_t *cacheData;         /*  80: cache line storage */
    uint8_t *workBuffer;        /*  88: 4096-byte buffer supplied by the owner */
    uint16_t chunkCount;        /*  96: number of 64-byte data chunks */
    uint16_t cachePageSize;     /*  98: bytes per cache line */
    uint16_t cacheLineCount;    /* 100: number of cache lines */
    uint16_t fileCount;         /* 102: number of file slots */
    uint8_t physicalKind;       /* 104: 0 = the built-in flash translation layer */
    uint8_t ftlAllocation;      /* 105: 1 = data chunks come from the FTL */
    uint8_t noAllocationBitmap; /* 106: 1 = no allocation bitmap is kept */
    uint8_t idleReclaimEnabled; /* 107: set by dfs_set_idle_reclaim_enabled */
    void *flashImage;           /* 112: image handed to SpiFlashDrvInitialize */
} AfsContext;

/* AFS checksums: CRC-16 (0x1021) of `length` bytes then tail[0], tail[1];
 * 14-bit CRC (0x3FFF for length <= 0); CRC-8 (0x07; 0x01 for length 0), with
 * its nibble tables. */
uint32_t crc16(const uint8_t *data, int32_t length, const uint8_t *tail);
uint32_t crc14(const uint8_t *data, int32_t length);
uint32_t crc8(const uint8_t *data, uint32_t length);
extern const uint8_t gCrc8_low[16], gCrc8_high[16];
/* The emulated SPI flash: gpBuffer is its first byte (null until
 * SpiFlashDrvInitialize, which sets it and returns 0). Read, write (program)
 * and erase of 4096-byte blocks return 0, or 1 with no buffer, past the
 * limit or on an injected fault. */
extern uint8_t *gpBuffer;
uint32_t SpiFlashDrvInitialize(void *buffer);
uint32_t SpiDrvRead(uint32_t address, uint32_t length, void *destination);
uint32_t SpiDrvWrite(uint32_t address, uint32_t length, const void *source);
uint32_t SpiDrvEraseBlock(uint32_t address);
/* Mounts (and, as `flags` allow, formats) the volume at flashOffset/flashSize
 * of flashBase into `ctx`, which must be zero-filled with workBuffer set. The
 * file calls below return 0 or 2 (no file), 5 (I/O or corrupt volume), 12 (no
 * memory), 22 (bad argument), 27 (too big), 28 (full). afs_free_context
 * releases what the volume allocated, not the record or its work buffer. */
uint32_t afs_init(AfsContext *ctx, void *flashBase, uint32_t pageSize, uint32_t cacheLines,
                  uint32_t maxFiles, uint32_t flashOffset, uint32_t flashSize, uint32_t flags,
                  uint32_t headerParam1, uint32_t headerParam2);
uint32_t afs_getfilesize(AfsContext *ctx, int32_t index, uint32_t *size);
/* *length: bytes wanted in, bytes delivered out. */
uint32_t afs_readfile(AfsContext *ctx, int32_t index, int32_t offset, int32_t *length,
                      void *buffer);
/* Zero fill past the end; QUOR_WRITE_TRUNCATE cuts the file after the write. */
uint32_t afs_writefile(AfsContext *ctx, int32_t index, uint32_t offset, uint32_t length,
                       const void *data, uint32_t flags);
uint32_t afs_deletefile(AfsContext *ctx, int32_t index);
/* Reserves free slot `index` (reads as absent until written); 99 slot in use. */
uint32_t afs_mark_zombie_file(AfsContext *ctx, int32_t index);
/* Cache lines of pageSize bytes (multiple of 64), 2 to 1000 of them. */
uint32_t afs_setcache(AfsContext *ctx, uint32_t pageSize, uint32_t lineCount);
uint32_t afs_force_full_reclaim(AfsContext *ctx);
uint32_t afs_force_dirty_erase(AfsContext *ctx);
uint32_t afs_idle_reclaim(AfsContext *ctx);
uint32_t afs_idle_reclaim_needed(AfsContext *ctx);
void afs_free_context(AfsContext *ctx);

/* ---- DFS front end, mini VFS, memory utilities ----------------------- */

/* Numbered files over both file systems (numbers: QUOR_DFS_NUMBER; statuses:
 * QUOR_DFS_*). dfs_init releases the context of an earlier dfs_init, then
 * mounts the AFS region (never formats it) into a fresh dfs_context: 0, the
 * AFS mount status, or QUOR_DFS_NO_MEMORY. EFS is mounted by EFS_init_tools
 * (or the storage interface); DFS routes EFS numbers to it. dfs_terminate and
 * dfs_is_fs_erased always answer 0. Without a mounted AFS, AFS requests answer
 * 22 (2 for dfs_getsize and dfs_delete_file, 0 for the two queries). */
uint32_t dfs_init(void *flashBase, uint32_t flashSize);
uint32_t dfs_terminate(void);
uint32_t dfs_is_fs_erased(void);
/* *length: bytes wanted in, bytes read out. 0, 2, 22, else 5. */
uint32_t dfs_read(uint32_t fileNumber, uint32_t offset, uint32_t *length, void *buffer);
/* `flags` (QUOR_WRITE_TRUNCATE) reach AFS only. 0, 22, 27, 28, 562, else 5. */
uint32_t dfs_write(uint32_t fileNumber, uint32_t offset, uint32_t length, const void *data,
                   uint32_t flags);
uint32_t dfs_getsize(uint32_t fileNumber, uint32_t *size);
/* AFS files only (22 for EFS numbers). */
uint32_t dfs_delete_file(uint32_t fileNumber);
/* AFS-only maintenance on dfs_context, with the AFS status unchanged. */
uint32_t dfs_mark_zombie_file(uint32_t fileNumber);
/* A cache of 8192 bytes in lines of pageSize bytes; 22 for sizes AFS refuses. */
uint32_t dfs_set_page_size(uint32_t pageSize);
uint32_t dfs_idle_reclaim(void);
uint32_t dfs_idle_reclaim_needed(void);
uint32_t dfs_get_idle_reclaim_enabled(void);
void dfs_set_idle_reclaim_enabled(void);
uint32_t dfs_force_full_reclaim(void);
uint32_t dfs_force_dirty_erase(void);
/* dfs_init on the region: 0, or 1 on any failure. */
uint32_t mini_vfs_init(void *flashBase, uint32_t flashSize);
/* The DFS file number of a file of the selected file table (QUOR_VFS_*). */
uint32_t pathToFileNumber(const char *name, uint32_t *fileNumber);
/* Reads `length` bytes at `offset` of the named file: 0, 2 name not in the
 * table (nothing read), 6 the DFS read failed. */
uint32_t readVfs(const char *name, uint32_t offset, void *buffer, uint32_t length);
/* Bounded copy: 0; 3 null pointer; 40 count > dstSize; 43 overlapping ranges
 * (nothing written). */
uint32_t ByteCopy(void *dst, uint32_t dstSize, const void *src, uint32_t count);
/* The AFS context of dfs_init (null before); read only. */
extern AfsContext *dfs_context;
/* SKU of the selected file table (0xFFFFFFFF when none). */
extern uint32_t g_dfs_sku;
/* Kept for the tool; the library neither sets nor reads it. */
extern uint32_t dfs_reset_needed;

/* ---- configuration file table and store ------------------------------ */

typedef uint32_t fileno_t;
typedef uint16_t file_attributes_t;

/* One configuration file of a SKU's file table (68 bytes). In the caller's
 * buffer an entry may sit at any address: copy it before reading fields. */
typedef struct file_table_entry_t {
    char name[48];                /*  0: NUL-padded, no terminator at 48 bytes */
    fileno_t fileno;              /* 48 */
    file_attributes_t attributes; /* 52: QUOR_ATTR_* */
    uint8_t reserved0[4];         /* 54 */
    uint16_t file_index;          /* 58: low 11 bits = index in its file system */
    uint8_t reserved1[3];         /* 60 */
    uint8_t storage;              /* 63: QUOR_STORAGE_* */
    uint32_t max_size;            /* 64 */
} file_table_entry_t;

/* Header of a file in an FCS buffer and of a file's blob (12 bytes). */
typedef struct _cfg_file_entry_t {
    fileno_t fileno;
    uint32_t data_offset;
    uint16_t data_size;
    uint16_t flags; /* QUOR_FCS_FLAG_NVAR */
} _cfg_file_entry_t;

/* What getFileAttributes fills (18 bytes, packed). */
#if defined(__GNUC__) || defined(__clang__)
#define QUORSTORAGE_PACKED __attribute__((packed))
#else
#define QUORSTORAGE_PACKED
#endif
typedef struct QUORSTORAGE_PACKED cfg_file_info_t {
    _cfg_file_entry_t entry;
    file_attributes_t attributes;
    uint32_t max_size;
} cfg_file_info_t;

/* A configuration file store in memory; created and released by the
 * library. */
typedef struct FcsHandle FcsHandle;

/* Selects the file table of `skuId` in the caller's buffer (which must stay
 * valid while it is selected: g_table_buf points into it) and loads that
 * SKU's EFS layout. 0, or 1 for a malformed buffer or layout. */
uint32_t load_file_table(const void *buffer, uint32_t skuId, uint32_t size);
/* The first entry of the selected table named `name` (48 bytes compared), or
 * null. Points into the caller's buffer. */
const file_table_entry_t *get_file_entry_by_file_name(const char *name);
/* The selected table: g_table_num_files entries at g_table_buf (< 1: none). */
extern int32_t g_table_num_files;
extern file_table_entry_t *g_table_buf;
/* Stores: every call returns a QUOR_FCS_* status. createHandle and
 * createHandleFromStructure (from an FCS buffer, which is copied) make a store
 * that closeHandle releases (and clears *handle). getFirstFileInRoot and
 * getNextFile list paths into `name` (49 bytes are enough for stores built
 * here). getFileData copies a file's blob (header then payload; *size is the
 * capacity in, the length out). addNewFile adds a file from its blob; a fileno
 * of 0 is looked up by name and written back into `blob`. flush writes the
 * store as an FCS buffer (*size: capacity in, needed or written length out). */
uint32_t createHandle(FcsHandle **handle);
uint32_t createHandleFromStructure(FcsHandle **handle, const void *buffer, uint32_t size);
uint32_t closeHandle(FcsHandle **handle);
uint32_t getFirstFileInRoot(FcsHandle *handle, char *name);
uint32_t getNextFile(FcsHandle *handle, char *name);
uint32_t getFileData(FcsHandle *handle, const char *name, void *buffer, uint32_t *size);
uint32_t getFileAttributes(FcsHandle *handle, const char *name, cfg_file_info_t *info);
uint32_t addNewFile(FcsHandle *handle, const char *dirPath, const char *name, void *blob,
                    uint16_t blobSize, bool checkMaxSize);
uint32_t deleteFile(FcsHandle *handle, const char *name);
uint32_t flush(FcsHandle *handle, void *buffer, uint32_t *size);

/* ---- EFS ------------------------------------------------------------- */

/* Loads the EFS layout of `sku` from a file table buffer: 0 (also when it has
 * none), 1 malformed, 12 out of memory. The g_efs_* variables describe the
 * loaded layout. */
uint32_t load_autogen_data(const void *table, uint32_t sku, uint32_t tableSize);
/* Mounts the caller's region (at least EFS_get_efs_size() bytes) in place,
 * never formatting it; the region stays in use (efs_image) until the next
 * mount. 22 for a null image, else the EFS_init status. */
uint32_t EFS_init_tools(void *image);
/* Mounts efs_image; `format` first allocates and formats a fresh image owned
 * by the library. 0; 1 no layout or image, 12, 22, 41 nothing to mount. */
uint32_t EFS_init(bool format);
/* 1 while mounted. */
uint8_t EFS_is_initialized(void);
/* File calls: 0; 2 no content, 22 bad argument, 28 full, 34 offset or length
 * out of range, 41 corrupt record. EFS_write replaces the whole file (offset
 * 0); *count: bytes wanted in, delivered out. */
uint32_t EFS_get_file_size(uint32_t fileIndex, uint32_t *size);
uint32_t EFS_read(uint32_t fileIndex, uint32_t offset, uint32_t *count, void *buffer);
uint32_t EFS_write(uint32_t fileIndex, uint32_t offset, uint32_t length, const void *data);
uint32_t EFS_delete(uint32_t fileIndex);
/* One unit of background work (1 when not mounted). */
uint32_t EFS_idle_reclaim(void);
/* Erases every block map and unmounts (1 with no image). */
uint32_t EFS_erase(void);
/* Bytes of the region of the loaded layout. */
uint32_t EFS_get_efs_size(void);
/* Reflected CRC-32 (0xEDB88320, no final XOR) and CRC-16 (0x1021), each
 * continuing from `crc`. */
uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length);
uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length);
/* The mounted region and the loaded layout; read only. */
extern uint8_t *efs_image;
extern uint32_t efs_size;
extern uint32_t g_efs_bm_num, g_efs_valid_block_num, g_efs_non_valid_block_num, g_efs_files_num,
    g_efs_wear_leveling_threshold;
extern uint8_t g_efs_autogen_data_loaded, g_efs_sku_id, g_efs_layout_id;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORSTORAGE_QUORSTORAGE_H */
