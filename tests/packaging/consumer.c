/* A consumer of the installed library, in C: opens the image whose pieces
 * make_sample_image wrote into DIR, reads the NVAR NAME from the current
 * values and compares it with EXPECTED. Usage: consumer DIR NAME EXPECTED */
#include <quorstorage/quorstorage.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static QuorBuffer load(const char *dir, const char *file) {
    QuorBuffer buffer = {NULL, 0};
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, file);
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        return buffer;
    }
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
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
    fprintf(stderr, "report level %d code %d: %s:%s\n", level, code, text, detail);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s DIR NAME EXPECTED\n", argv[0]);
        return 2;
    }
    _commonQuorTable record;
    memset(&record, 0, sizeof record);
    record.ostraCfg = load(argv[1], "ostra.cfg");
    record.tavcCfg = load(argv[1], "tavc.cfg");
    record.mfs = load(argv[1], "mfs.bin");
    record.ftbl = load(argv[1], "ftbl.bin");
    record.efs = load(argv[1], "efs.bin");
    QuorBuffer sku = load(argv[1], "sku.txt");
    if (sku.data == NULL) {
        fprintf(stderr, "missing sku.txt\n");
        return 1;
    }
    record.afsSkuId = (uint32_t)strtoul((const char *)sku.data, NULL, 10);

    if (!kaMfsQuorInit(&record, report)) {
        fprintf(stderr, "kaMfsQuorInit failed\n");
        return 1;
    }
    uint8_t *value = NULL;
    uint32_t size = 0;
    bool modifiable = false;
    uint32_t maxSize = 0;
    const uint32_t current = kaMfsGetFcsFileNameMapping(2);
    if (!kaMfsNvarGet(argv[2], &value, &size, current, &modifiable, &maxSize)) {
        fprintf(stderr, "kaMfsNvarGet failed\n");
        return 1;
    }
    const size_t expected = strlen(argv[3]);
    const int same = size == expected && (size == 0 || memcmp(value, argv[3], size) == 0);
    printf("%s = '%.*s' (%u bytes, max %u)\n", argv[2], (int)size, (const char *)value, size,
           maxSize);
    kaMfsNvarTerm(false);
    return same ? 0 : 1;
}
