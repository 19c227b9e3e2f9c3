/* A host program that defines, with its own conflicting behaviour, every C
 * function and variable that libquorstorage.so exports except the five
 * storage calls it makes, and exports all of them (-rdynamic). The library
 * must still reach its own code and data: the host opens the image that
 * make_sample_image wrote into DIR, changes an AFS and an EFS NVAR, commits,
 * and opens the committed pieces again to find the new values. Every host
 * definition counts its calls; none may be called, and none of the host's
 * variables may change. Usage: host_clash DIR */
#include <quorstorage/quorstorage.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned g_host_calls;
static uint8_t g_host_bytes[64];

/* Functions: each answers a plausible but wrong status. */
#define HOST_FN(type, name, params) \
    type name params {              \
        ++g_host_calls;             \
        return (type)7;             \
    }
#define HOST_VOID(name, params) \
    void name params {          \
        ++g_host_calls;         \
    }

HOST_FN(bool, kaMfsIsInitialized, (void))
HOST_FN(bool, kaFcsIsInitialized, (void))
HOST_FN(bool, kaMfsIsVfsDeployed, (void))
HOST_FN(bool, kamfsCheckNvarExists, (const char *name, uint32_t table))
HOST_FN(uint32_t, kaMfsGetFcsFileNameMapping, (uint32_t index))
HOST_FN(uint32_t, kaMfsGetEfsSize, (void))
HOST_FN(uint32_t, crc16, (const uint8_t *data, int32_t length, const uint8_t *tail))
HOST_FN(uint32_t, crc14, (const uint8_t *data, int32_t length))
HOST_FN(uint32_t, crc8, (const uint8_t *data, uint32_t length))
HOST_FN(uint32_t, SpiFlashDrvInitialize, (void *buffer))
HOST_FN(uint32_t, SpiDrvRead, (uint32_t address, uint32_t length, void *destination))
HOST_FN(uint32_t, SpiDrvWrite, (uint32_t address, uint32_t length, const void *source))
HOST_FN(uint32_t, SpiDrvEraseBlock, (uint32_t address))
HOST_FN(uint32_t, afs_init,
        (AfsContext * ctx, void *flashBase, uint32_t pageSize, uint32_t cacheLines,
         uint32_t maxFiles, uint32_t flashOffset, uint32_t flashSize, uint32_t flags,
         uint32_t headerParam1, uint32_t headerParam2))
HOST_FN(uint32_t, afs_getfilesize, (AfsContext * ctx, int32_t index, uint32_t *size))
HOST_FN(uint32_t, afs_readfile,
        (AfsContext * ctx, int32_t index, int32_t offset, int32_t *length, void *buffer))
HOST_FN(uint32_t, afs_writefile,
        (AfsContext * ctx, int32_t index, uint32_t offset, uint32_t length, const void *data,
         uint32_t flags))
HOST_FN(uint32_t, afs_deletefile, (AfsContext * ctx, int32_t index))
HOST_FN(uint32_t, afs_mark_zombie_file, (AfsContext * ctx, int32_t index))
HOST_FN(uint32_t, afs_setcache, (AfsContext * ctx, uint32_t pageSize, uint32_t lineCount))
HOST_FN(uint32_t, afs_force_full_reclaim, (AfsContext * ctx))
HOST_FN(uint32_t, afs_force_dirty_erase, (AfsContext * ctx))
HOST_FN(uint32_t, afs_idle_reclaim, (AfsContext * ctx))
HOST_FN(uint32_t, afs_idle_reclaim_needed, (AfsContext * ctx))
HOST_VOID(afs_free_context, (AfsContext * ctx))
HOST_FN(uint32_t, dfs_init, (void *flashBase, uint32_t flashSize))
HOST_FN(uint32_t, dfs_terminate, (void))
HOST_FN(uint32_t, dfs_is_fs_erased, (void))
HOST_FN(uint32_t, dfs_read, (uint32_t fileNumber, uint32_t offset, uint32_t *length, void *buffer))
HOST_FN(uint32_t, dfs_write,
        (uint32_t fileNumber, uint32_t offset, uint32_t length, const void *data, uint32_t flags))
HOST_FN(uint32_t, dfs_getsize, (uint32_t fileNumber, uint32_t *size))
HOST_FN(uint32_t, dfs_delete_file, (uint32_t fileNumber))
HOST_FN(uint32_t, dfs_mark_zombie_file, (uint32_t fileNumber))
HOST_FN(uint32_t, dfs_set_page_size, (uint32_t pageSize))
HOST_FN(uint32_t, dfs_idle_reclaim, (void))
HOST_FN(uint32_t, dfs_idle_reclaim_needed, (void))
HOST_FN(uint32_t, dfs_get_idle_reclaim_enabled, (void))
HOST_VOID(dfs_set_idle_reclaim_enabled, (void))
HOST_FN(uint32_t, dfs_force_full_reclaim, (void))
HOST_FN(uint32_t, dfs_force_dirty_erase, (void))
HOST_FN(uint32_t, mini_vfs_init, (void *flashBase, uint32_t flashSize))
HOST_FN(uint32_t, pathToFileNumber, (const char *name, uint32_t *fileNumber))
HOST_FN(uint32_t, readVfs, (const char *name, uint32_t offset, void *buffer, uint32_t length))
HOST_FN(uint32_t, ByteCopy, (void *dst, uint32_t dstSize, const void *src, uint32_t count))
HOST_FN(uint32_t, load_file_table, (const void *buffer, uint32_t skuId, uint32_t size))
const file_table_entry_t *get_file_entry_by_file_name(const char *name) {
    (void)name;
    ++g_host_calls;
    return (const file_table_entry_t *)g_host_bytes;
}
HOST_FN(uint32_t, createHandle, (FcsHandle * *handle))
HOST_FN(uint32_t, createHandleFromStructure,
        (FcsHandle * *handle, const void *buffer, uint32_t size))
HOST_FN(uint32_t, closeHandle, (FcsHandle * *handle))
HOST_FN(uint32_t, getFirstFileInRoot, (FcsHandle * handle, char *name))
HOST_FN(uint32_t, getNextFile, (FcsHandle * handle, char *name))
HOST_FN(uint32_t, getFileData, (FcsHandle * handle, const char *name, void *buffer, uint32_t *size))
HOST_FN(uint32_t, getFileAttributes, (FcsHandle * handle, const char *name, cfg_file_info_t *info))
HOST_FN(uint32_t, addNewFile,
        (FcsHandle * handle, const char *dirPath, const char *name, void *blob, uint16_t blobSize,
         bool checkMaxSize))
HOST_FN(uint32_t, deleteFile, (FcsHandle * handle, const char *name))
HOST_FN(uint32_t, flush, (FcsHandle * handle, void *buffer, uint32_t *size))
HOST_FN(uint32_t, load_autogen_data, (const void *table, uint32_t sku, uint32_t tableSize))
HOST_FN(uint32_t, EFS_init_tools, (void *image))
HOST_FN(uint32_t, EFS_init, (bool format))
HOST_FN(uint8_t, EFS_is_initialized, (void))
HOST_FN(uint32_t, EFS_get_file_size, (uint32_t fileIndex, uint32_t *size))
HOST_FN(uint32_t, EFS_read, (uint32_t fileIndex, uint32_t offset, uint32_t *count, void *buffer))
HOST_FN(uint32_t, EFS_write,
        (uint32_t fileIndex, uint32_t offset, uint32_t length, const void *data))
HOST_FN(uint32_t, EFS_delete, (uint32_t fileIndex))
HOST_FN(uint32_t, EFS_idle_reclaim, (void))
HOST_FN(uint32_t, EFS_erase, (void))
HOST_FN(uint32_t, EFS_get_efs_size, (void))
HOST_FN(uint32_t, EFS_crc32, (uint32_t crc, const uint8_t *data, uint32_t length))
HOST_FN(uint16_t, EFS_crc16, (uint16_t crc, const uint8_t *data, uint32_t length))

/* Variables: the host's own, with values the library must neither use nor
 * change. */
#define HOST_WORD 0xC0FFEEu
#define HOST_BYTE 0xA5u
const uint8_t gCrc8_low[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
const uint8_t gCrc8_high[16] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
uint8_t *gpBuffer = g_host_bytes;
AfsContext *dfs_context = (AfsContext *)(void *)g_host_bytes;
uint32_t g_dfs_sku = HOST_WORD;
uint32_t dfs_reset_needed = HOST_WORD;
int32_t g_table_num_files = (int32_t)HOST_WORD;
file_table_entry_t *g_table_buf = (file_table_entry_t *)(void *)g_host_bytes;
uint8_t *efs_image = g_host_bytes;
uint32_t efs_size = HOST_WORD;
uint32_t g_efs_bm_num = HOST_WORD, g_efs_valid_block_num = HOST_WORD,
         g_efs_non_valid_block_num = HOST_WORD, g_efs_files_num = HOST_WORD,
         g_efs_wear_leveling_threshold = HOST_WORD;
uint8_t g_efs_autogen_data_loaded = HOST_BYTE, g_efs_sku_id = HOST_BYTE,
        g_efs_layout_id = HOST_BYTE;

static int g_failures;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++g_failures;
    }
}

static int host_variables_untouched(void) {
    const uint32_t words[] = {g_dfs_sku,
                              dfs_reset_needed,
                              (uint32_t)g_table_num_files,
                              efs_size,
                              g_efs_bm_num,
                              g_efs_valid_block_num,
                              g_efs_non_valid_block_num,
                              g_efs_files_num,
                              g_efs_wear_leveling_threshold};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) {
        if (words[i] != HOST_WORD) {
            return 0;
        }
    }
    for (size_t i = 0; i < sizeof g_host_bytes; ++i) {
        if (g_host_bytes[i] != 0) {
            return 0;
        }
    }
    return gpBuffer == g_host_bytes && efs_image == g_host_bytes &&
           (void *)dfs_context == (void *)g_host_bytes &&
           (void *)g_table_buf == (void *)g_host_bytes && g_efs_autogen_data_loaded == HOST_BYTE &&
           g_efs_sku_id == HOST_BYTE && g_efs_layout_id == HOST_BYTE && gCrc8_low[3] == 1 &&
           gCrc8_high[3] == 2;
}

static QuorBuffer load(const char *dir, const char *file) {
    QuorBuffer buffer = {NULL, 0};
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, file);
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        return buffer;
    }
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    if (size > 0) {
        buffer.data = malloc((size_t)size);
        if (buffer.data != NULL && fread(buffer.data, 1, (size_t)size, f) == (size_t)size) {
            buffer.size = (uint32_t)size;
        }
    }
    fclose(f);
    return buffer;
}

static void report(int32_t level, int32_t code, const char *text, const char *detail) {
    fprintf(stderr, "library report level %d code %d: %s %s\n", level, code, text, detail);
}

/* Whether NVAR `name` of the current values reads `expected`. */
static int reads(const char *name, const char *expected) {
    uint8_t *value = NULL;
    uint32_t size = 0;
    if (!kaMfsNvarGet(name, &value, &size, QUOR_TABLE_CURRENT, NULL, NULL)) {
        return 0;
    }
    return size == strlen(expected) && (size == 0 || memcmp(value, expected, size) == 0);
}

static int set(const char *name, const char *text) {
    uint8_t *value = NULL;
    const uint32_t size = (uint32_t)strlen(text);
    if (!kaMfsNvarResize(name, &value, size)) {
        return 0;
    }
    memcpy(value, text, size);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    /* The host's own definitions are the ones the host itself reaches. */
    expect(crc16(NULL, 0, NULL) == 7 && ByteCopy(NULL, 0, NULL, 0) == 7, "host definitions live");
    g_host_calls = 0;

    _commonQuorTable record;
    memset(&record, 0, sizeof record);
    record.ostraCfg = load(argv[1], "ostra.cfg");
    record.tavcCfg = load(argv[1], "tavc.cfg");
    record.mfs = load(argv[1], "mfs.bin");
    record.ftbl = load(argv[1], "ftbl.bin");
    record.efs = load(argv[1], "efs.bin");
    const QuorBuffer sku = load(argv[1], "sku.txt");
    if (sku.data == NULL || record.mfs.data == NULL || record.efs.data == NULL) {
        fprintf(stderr, "missing pieces in %s\n", argv[1]);
        return 1;
    }
    record.afsSkuId = (uint32_t)strtoul((const char *)sku.data, NULL, 10);
    const QuorBuffer originalTool = record.tavcCfg;

    /* Open, change one NVAR on each file system, commit. */
    expect(kaMfsQuorInit(&record, report), "first open");
    expect(reads("/home/sample/greeting", "hello"), "AFS NVAR before the change");
    expect(reads("/home/sample/serial", "SN-0001"), "EFS NVAR before the change");
    expect(set("/home/sample/greeting", "changed by the host"), "AFS NVAR resized");
    expect(set("/home/sample/serial", "SN-4242"), "EFS NVAR resized");
    expect(kaMfsNvarTerm(true), "commit");
    uint8_t *built = NULL;
    uint32_t builtSize = 0;
    expect(kaMfsGetBuildTavCfgFcsBuffer(&built, &builtSize), "built configuration");
    QuorBuffer newTool = {calloc(1, QUOR_TAVC_HEADER_SIZE + builtSize),
                          QUOR_TAVC_HEADER_SIZE + builtSize};
    if (newTool.data == NULL || built == NULL) {
        return 1;
    }
    memcpy(newTool.data + QUOR_TAVC_HEADER_SIZE, built, builtSize);
    for (unsigned i = 0; i < 4; ++i) {
        newTool.data[QUOR_TAVC_LENGTH_OFFSET + i] = (uint8_t)(builtSize >> (8 * i));
    }
    expect(kaMfsNvarTerm(false), "close");

    /* The regions were changed in place: with the old configuration, the
     * values come from the files. */
    record.tavcCfg = originalTool;
    expect(kaMfsQuorInit(&record, report), "open the committed regions");
    expect(reads("/home/sample/greeting", "changed by the host"), "AFS file holds the new value");
    expect(reads("/home/sample/serial", "SN-4242"), "EFS file holds the new value");
    expect(kaMfsNvarTerm(false), "close again");

    /* Without regions, the values come from the new configuration. */
    record.tavcCfg = newTool;
    record.mfs.size = 0;
    record.efs.size = 0;
    expect(kaMfsQuorInit(&record, report), "open the new configuration");
    expect(reads("/home/sample/greeting", "changed by the host"), "configuration holds the value");
    expect(kaMfsNvarTerm(false), "close the configuration");

    expect(g_host_calls == 0, "the library never called a host definition");
    expect(host_variables_untouched(), "the host's variables are unchanged");
    free(record.ostraCfg.data);
    free(originalTool.data);
    free(newTool.data);
    free(record.mfs.data);
    free(record.ftbl.data);
    free(record.efs.data);
    free(sku.data);
    if (g_failures == 0) {
        printf("the library kept to its own code and data\n");
    }
    return g_failures == 0 ? 0 : 1;
}
