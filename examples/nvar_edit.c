/* Opens the image whose pieces sit in folder DIR (ostra.cfg, tavc.cfg,
 * mfs.bin, ftbl.bin, efs.bin and sku.txt, as `quorstore mkimage` writes a
 * bundle), prints NVAR NAME and, given VALUE, changes it, commits and writes
 * the new pieces back into DIR.
 *
 *   nvar_edit_c DIR NAME [VALUE]
 *
 * Writes tavc.cfg.new, mfs.bin.new and efs.bin.new first and renames them
 * over the old pieces only after the commit succeeded. */
#include <quorstorage/quorstorage.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static QuorBuffer read_piece(const char *dir, const char *name) {
    QuorBuffer piece = {NULL, 0};
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        return piece; /* an absent piece is an empty one */
    }
    if (fseek(f, 0, SEEK_END) == 0) {
        const long size = ftell(f);
        rewind(f);
        piece.data = size > 0 ? malloc((size_t)size) : NULL;
        if (piece.data != NULL && fread(piece.data, 1, (size_t)size, f) == (size_t)size) {
            piece.size = (uint32_t)size;
        }
    }
    fclose(f);
    return piece;
}

/* Writes DIR/NAME.new; the caller renames it into place. */
static int write_piece(const char *dir, const char *name, const uint8_t *data, uint32_t size) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s.new", dir, name);
    FILE *f = fopen(path, "wb");
    if (f == NULL) {
        return 0;
    }
    const int ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

static int rename_piece(const char *dir, const char *name) {
    char from[4096], to[4096];
    snprintf(from, sizeof from, "%s/%s.new", dir, name);
    snprintf(to, sizeof to, "%s/%s", dir, name);
    return rename(from, to) == 0;
}

/* Every library report arrives here: level, catalogue code and text, and a
 * detail naming what failed. */
static void on_report(int32_t level, int32_t code, const char *text, const char *detail) {
    fprintf(stderr, "quorstorage (level %d) %d: %s %s\n", level, code, text, detail);
}

/* The new tool partition: the 16-byte header of the old one with the new
 * length at offset 8, then the built configuration. */
static uint8_t *wrap_partition(const QuorBuffer *old, const uint8_t *fcs, uint32_t size) {
    uint8_t *out = calloc(1, QUOR_TAVC_HEADER_SIZE + size);
    if (out == NULL) {
        return NULL;
    }
    if (old->size >= QUOR_TAVC_HEADER_SIZE) {
        memcpy(out, old->data, QUOR_TAVC_HEADER_SIZE);
    }
    for (unsigned i = 0; i < 4; ++i) {
        out[QUOR_TAVC_LENGTH_OFFSET + i] = (uint8_t)(size >> (8 * i));
    }
    memcpy(out + QUOR_TAVC_HEADER_SIZE, fcs, size);
    return out;
}

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s DIR NAME [VALUE]\n", argv[0]);
        return 2;
    }
    const char *dir = argv[1];
    const char *name = argv[2];

    _commonQuorTable image;
    memset(&image, 0, sizeof image);
    image.ostraCfg = read_piece(dir, "ostra.cfg");
    image.tavcCfg = read_piece(dir, "tavc.cfg");
    image.mfs = read_piece(dir, "mfs.bin");
    image.ftbl = read_piece(dir, "ftbl.bin");
    image.efs = read_piece(dir, "efs.bin");
    QuorBuffer sku = read_piece(dir, "sku.txt");
    image.afsSkuId = sku.data != NULL ? (uint32_t)strtoul((const char *)sku.data, NULL, 0) : 0;

    if (!kaMfsQuorInit(&image, on_report)) {
        return 1;
    }
    /* The value buffer belongs to the library until the next resize or
     * commit. */
    uint8_t *value = NULL;
    uint32_t size = 0, max_size = 0;
    bool modifiable = false;
    if (!kaMfsNvarGet(name, &value, &size, QUOR_TABLE_CURRENT, &modifiable, &max_size)) {
        kaMfsNvarTerm(false);
        return 1;
    }
    printf("%s = \"%.*s\" (%u bytes, at most %u)\n", name, (int)size, (const char *)value, size,
           max_size);
    int ok = 1;
    if (argc == 4) {
        const uint32_t length = (uint32_t)strlen(argv[3]);
        ok = modifiable && kaMfsNvarResize(name, &value, length);
        if (ok && length != 0) {
            memcpy(value, argv[3], length);
        }
        /* Commit: the NVAR's file changes inside image.mfs / image.efs, and
         * the library builds the new tool configuration. */
        ok = ok && kaMfsNvarTerm(true);
        uint8_t *fcs = NULL;
        uint32_t fcs_size = 0;
        ok = ok && kaMfsGetBuildTavCfgFcsBuffer(&fcs, &fcs_size);
        uint8_t *partition = ok ? wrap_partition(&image.tavcCfg, fcs, fcs_size) : NULL;
        ok = partition != NULL &&
             write_piece(dir, "tavc.cfg", partition, QUOR_TAVC_HEADER_SIZE + fcs_size) &&
             (image.mfs.size == 0 || write_piece(dir, "mfs.bin", image.mfs.data, image.mfs.size)) &&
             (image.efs.size == 0 || write_piece(dir, "efs.bin", image.efs.data, image.efs.size));
        ok = ok && rename_piece(dir, "tavc.cfg") &&
             (image.mfs.size == 0 || rename_piece(dir, "mfs.bin")) &&
             (image.efs.size == 0 || rename_piece(dir, "efs.bin"));
        free(partition);
        if (ok) {
            printf("%s set to \"%s\"\n", name, argv[3]);
        } else {
            fprintf(stderr, "%s: not changed\n", name);
        }
    }
    /* Closing commits once more and releases the storage; the pieces stay
     * the caller's. */
    kaMfsNvarTerm(false);
    free(image.ostraCfg.data);
    free(image.tavcCfg.data);
    free(image.mfs.data);
    free(image.ftbl.data);
    free(image.efs.data);
    free(sku.data);
    return ok ? 0 : 1;
}
