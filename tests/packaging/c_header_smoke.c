/* Compiled as C11 with -pedantic: the public header must be plain C, and the
 * library must answer through it. Exits non-zero on the first wrong answer. */
#include <quorstorage/quorstorage.h>

#include <stdio.h>

static int expect(const char *what, unsigned long got, unsigned long want) {
    if (got != want) {
        printf("%s: got 0x%lx, expected 0x%lx\n", what, got, want);
        return 1;
    }
    return 0;
}

int main(void) {
    const uint8_t a[] = {'a'};
    const uint8_t bc[] = {'b', 'c'};
    const uint8_t abc[] = {'a', 'b', 'c'};
    int failures = 0;
    failures += expect("crc16", crc16(a, 1, bc) & 0xFFFFu, 0x514Au);
    failures += expect("crc14", crc14(abc, 3) & 0x3FFFu, 0x3A71u);
    failures += expect("crc8", crc8(abc, 3) & 0xFFu, 0x34u);
    failures += expect("efs size", EFS_get_efs_size(), 49152u);
    failures += expect("ByteCopy refuses overflow", ByteCopy((void *)abc, 1, bc, 2) == 0, 0);
    failures += expect("no storage open", kaMfsIsInitialized(), 0);
    return failures == 0 ? 0 : 1;
}
