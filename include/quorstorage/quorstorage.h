/* QuorStorage — the C interface of libquorstorage.so.
 *
 * One header for C (C11) and C++ callers: the storage interface (open an
 * image, read and resize NVARs, commit), the DFS front end and mini VFS over
 * the two flash file systems, the configuration file table and store, and
 * the AFS and EFS entry points. Records are laid out for x86-64 with natural
 * alignment unless marked packed.
 *
 * The library keeps process-wide state (one open storage, one AFS context,
 * one EFS context); callers must not call it from two threads at once.
 * File-system calls return POSIX-style status numbers (0 success); the
 * configuration store returns its own codes 0 to 12; the storage interface
 * returns booleans and explains failures through the status callback. */
#ifndef QUORSTORAGE_QUORSTORAGE_H
#define QUORSTORAGE_QUORSTORAGE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- storage interface ---------------------------------------------- */

/* A piece of the image handed to the library: pointer and length. */
typedef struct QuorBuffer {
    uint8_t *data;
    uint32_t size;
} QuorBuffer;

/* The pieces of one image: vendor configuration table, the tool's
 * configuration partition, the AFS region, the file table buffer, the SKU
 * and the EFS region. */
typedef struct _commonQuorTable {
    QuorBuffer ostraCfg, tavcCfg, mfs, ftbl;
    uint32_t afsSkuId;
    QuorBuffer efs;
} _commonQuorTable;

/* Receives every report: severity, error code (0 to 410), the catalogue
 * text of the code and a detail text. */
typedef void (*QuorStatusCallback)(int32_t level, int32_t code, const char *errorText,
                                   const char *detail);

bool kaMfsQuorInit(const _commonQuorTable *record, QuorStatusCallback cb);
bool kaMfsIsInitialized(void);
bool kaFcsIsInitialized(void);
bool kaMfsIsVfsDeployed(void);
bool kaMfsNvarGet(const char *name, uint8_t **value, uint32_t *size, uint32_t table,
                  bool *modifiable, uint32_t *maxSize);
bool kaMfsNvarResize(const char *name, uint8_t **value, uint32_t newSize);
bool kamfsCheckNvarExists(const char *name, uint32_t table);
uint32_t kaMfsGetFcsFileNameMapping(uint32_t index);
bool kaMfsGetBuildTavCfgFcsBuffer(uint8_t **buffer, uint32_t *size);
uint32_t kaMfsGetEfsSize(void);
bool kaMfsNvarTerm(bool keepOpen);

/* ---- AFS ------------------------------------------------------------- */

/* Per-volume record of AFS (x86-64 offsets in comments; 120 bytes). */
typedef struct AfsContext {
    uint32_t dynamicAreaSize;     /*   0 */
    uint32_t nextChunk;           /*   4 */
    uint32_t flashOffset;         /*   8 */
    uint32_t flashSize;           /*  12 */
    uint32_t volumeSize;          /*  16 */
    uint32_t volumeAttributes;    /*  20 */
    uint32_t lastFatPageOffset;   /*  24 */
    void *ftl;                    /*  32 */
    void *handlers;               /*  40 */
    uint32_t *allocationBitmap;   /*  48 */
    void *cacheDescriptors;       /*  56 */
    uint16_t cacheHead;           /*  64 */
    uint32_t *fileSizeTable;      /*  72 */
    uint8_t *cacheData;           /*  80 */
    uint8_t *workBuffer;          /*  88 */
    uint16_t chunkCount;          /*  96 */
    uint16_t cachePageSize;       /*  98 */
    uint16_t cacheLineCount;      /* 100 */
    uint16_t fileCount;           /* 102 */
    uint8_t physicalKind;         /* 104 */
    uint8_t ftlAllocation;        /* 105 */
    uint8_t noAllocationBitmap;   /* 106 */
    uint8_t idleReclaimEnabled;   /* 107 */
    void *flashImage;             /* 112 */
} AfsContext;

uint32_t crc16(const uint8_t *data, int32_t length, const uint8_t *tail);
uint32_t crc14(const uint8_t *data, int32_t length);
uint32_t crc8(const uint8_t *data, uint32_t length);
extern const uint8_t gCrc8_low[16], gCrc8_high[16];
extern uint8_t *gpBuffer;
uint32_t SpiFlashDrvInitialize(void *buffer);
uint32_t SpiDrvRead(uint32_t address, uint32_t length, void *destination);
uint32_t SpiDrvWrite(uint32_t address, uint32_t length, const void *source);
uint32_t SpiDrvEraseBlock(uint32_t address);
uint32_t afs_init(AfsContext *ctx, void *flashBase, uint32_t pageSize, uint32_t cacheLines,
                  uint32_t maxFiles, uint32_t flashOffset, uint32_t flashSize, uint32_t flags,
                  uint32_t headerParam1, uint32_t headerParam2);
uint32_t afs_getfilesize(AfsContext *ctx, int32_t index, uint32_t *size);
uint32_t afs_readfile(AfsContext *ctx, int32_t index, int32_t offset, int32_t *length,
                      void *buffer);
uint32_t afs_writefile(AfsContext *ctx, int32_t index, uint32_t offset, uint32_t length,
                       const void *data, uint32_t flags);
uint32_t afs_deletefile(AfsContext *ctx, int32_t index);
uint32_t afs_mark_zombie_file(AfsContext *ctx, int32_t index);
uint32_t afs_setcache(AfsContext *ctx, uint32_t pageSize, uint32_t lineCount);
uint32_t afs_force_full_reclaim(AfsContext *ctx);
uint32_t afs_force_dirty_erase(AfsContext *ctx);
uint32_t afs_idle_reclaim(AfsContext *ctx);
uint32_t afs_idle_reclaim_needed(AfsContext *ctx);
void afs_free_context(AfsContext *ctx);

/* ---- DFS front end, mini VFS, memory utilities ----------------------- */

uint32_t dfs_init(void *flashBase, uint32_t flashSize);
uint32_t dfs_terminate(void);
uint32_t dfs_is_fs_erased(void);
uint32_t dfs_read(uint32_t fileNumber, uint32_t offset, uint32_t *length, void *buffer);
uint32_t dfs_write(uint32_t fileNumber, uint32_t offset, uint32_t length, const void *data,
                   uint32_t flags);
uint32_t dfs_getsize(uint32_t fileNumber, uint32_t *size);
uint32_t dfs_delete_file(uint32_t fileNumber);
uint32_t dfs_mark_zombie_file(uint32_t fileNumber);
uint32_t dfs_set_page_size(uint32_t pageSize);
uint32_t dfs_idle_reclaim(void);
uint32_t dfs_idle_reclaim_needed(void);
uint32_t dfs_get_idle_reclaim_enabled(void);
void dfs_set_idle_reclaim_enabled(void);
uint32_t dfs_force_full_reclaim(void);
uint32_t dfs_force_dirty_erase(void);
uint32_t mini_vfs_init(void *flashBase, uint32_t flashSize);
uint32_t pathToFileNumber(const char *name, uint32_t *fileNumber);
uint32_t readVfs(const char *name, uint32_t offset, void *buffer, uint32_t length);
uint32_t ByteCopy(void *dst, uint32_t dstSize, const void *src, uint32_t count);
extern AfsContext *dfs_context;
extern uint32_t g_dfs_sku;
extern uint32_t dfs_reset_needed;

/* ---- configuration file table and store ------------------------------ */

typedef uint32_t fileno_t;
typedef uint16_t file_attributes_t;

/* One configuration file of a SKU's file table (68 bytes). */
typedef struct file_table_entry_t {
    char name[48];              /*  0: NUL-padded, no terminator at 48 bytes */
    fileno_t fileno;            /* 48 */
    file_attributes_t attributes; /* 52 */
    uint8_t reserved0[4];       /* 54 */
    uint16_t file_index;        /* 58: low 11 bits = index in its file system */
    uint8_t reserved1[3];       /* 60 */
    uint8_t storage;            /* 63: 0/1 AFS, 2 EFS */
    uint32_t max_size;          /* 64 */
} file_table_entry_t;

/* Header of a file in an FCS buffer and of a file's blob (12 bytes). */
typedef struct _cfg_file_entry_t {
    fileno_t fileno;
    uint32_t data_offset;
    uint16_t data_size;
    uint16_t flags;
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

uint32_t load_file_table(const void *buffer, uint32_t skuId, uint32_t size);
const file_table_entry_t *get_file_entry_by_file_name(const char *name);
extern int32_t g_table_num_files;
extern file_table_entry_t *g_table_buf;
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

uint32_t load_autogen_data(const void *table, uint32_t sku, uint32_t tableSize);
uint32_t EFS_init_tools(void *image);
uint32_t EFS_init(bool format);
uint8_t EFS_is_initialized(void);
uint32_t EFS_get_file_size(uint32_t fileIndex, uint32_t *size);
uint32_t EFS_read(uint32_t fileIndex, uint32_t offset, uint32_t *count, void *buffer);
uint32_t EFS_write(uint32_t fileIndex, uint32_t offset, uint32_t length, const void *data);
uint32_t EFS_delete(uint32_t fileIndex);
uint32_t EFS_idle_reclaim(void);
uint32_t EFS_erase(void);
uint32_t EFS_get_efs_size(void);
uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length);
uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length);
extern uint8_t *efs_image;
extern uint32_t efs_size;
extern uint32_t g_efs_bm_num, g_efs_valid_block_num, g_efs_non_valid_block_num, g_efs_files_num,
    g_efs_wear_leveling_threshold;
extern uint8_t g_efs_autogen_data_loaded, g_efs_sku_id, g_efs_layout_id;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORSTORAGE_QUORSTORAGE_H */
