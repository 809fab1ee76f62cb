/* The benchmark's packing floor: writes the tree archive of a directory with
 * as few system calls as the job allows, so the tables can say how far a
 * packer is from what the kernel itself costs.
 *
 *   bench-pack-floor SOURCE_DIR ARCHIVE
 *
 * Every directory costs an open, its listing (getdents64 until it is empty)
 * and a close; every entry one statx relative to its directory's descriptor;
 * every non-empty file an open, one copy_file_range straight into the archive
 * (one copy in the kernel, where a read and a write make two) and a close.
 * The index is written once at the end. Names
 * are sorted by their CESU-8 bytes, as untree-pack sorts them, so both write
 * the same archive of the same tree.
 *
 * It writes ARCHIVE in place, checks nothing it need not (no change while
 * read, no limits, no temporary file) and prints nothing but a failure.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { NAME_BYTES = 768 };

static const int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

struct Child {
    char name[256];        /* as the kernel knows it */
    char line[NAME_BYTES]; /* CESU-8 */
    size_t line_length;
    struct statx sx;
};

static int g_out;
static uint8_t* g_names;
static size_t g_names_size, g_names_capacity;
static uint8_t* g_records;
static size_t g_records_size, g_records_capacity;

static int fail(const char* what, const char* name) {
    fprintf(stderr, "bench-pack-floor: %s %s: %s\n", what, name, strerror(errno));
    exit(1);
}

static void put(uint8_t** bytes, size_t* size, size_t* capacity, const void* what, size_t n) {
    if (*size + n > *capacity) {
        *capacity = (*capacity ? *capacity * 2 : 1 << 20) + n;
        *bytes = realloc(*bytes, *capacity);
        if (!*bytes) fail("grow", "index");
    }
    memcpy(*bytes + *size, what, n);
    *size += n;
}

/* UTF-8 to CESU-8: a four-byte sequence becomes its two surrogates. */
static size_t cesu8(const char* name, char* out) {
    const uint8_t* s = (const uint8_t*)name;
    size_t at = 0;
    while (*s) {
        if (*s >= 0xF0 && s[1] && s[2] && s[3]) {
            uint32_t c = (uint32_t)(s[0] & 7) << 18 | (uint32_t)(s[1] & 0x3F) << 12 | (uint32_t)(s[2] & 0x3F) << 6 |
                         (s[3] & 0x3F);
            uint32_t units[2] = {0xD800 + ((c - 0x10000) >> 10), 0xDC00 + ((c - 0x10000) & 0x3FF)};
            for (int i = 0; i < 2; i++) {
                out[at++] = (char)(0xE0 | units[i] >> 12);
                out[at++] = (char)(0x80 | ((units[i] >> 6) & 0x3F));
                out[at++] = (char)(0x80 | (units[i] & 0x3F));
            }
            s += 4;
        } else {
            out[at++] = (char)*s++;
        }
    }
    return at;
}

static int by_line(const void* a, const void* b) {
    const struct Child* x = a;
    const struct Child* y = b;
    size_t n = x->line_length < y->line_length ? x->line_length : y->line_length;
    int c = memcmp(x->line, y->line, n);
    return c ? c : (x->line_length > y->line_length) - (x->line_length < y->line_length);
}

static uint64_t filetime(struct statx_timestamp t) {
    return (uint64_t)(t.tv_sec * 10000000 + FILETIME_UNIX_EPOCH) + t.tv_nsec / 100;
}

static void record(const struct Child* c, int depth, int directory) {
    uint8_t r[40] = {0};
    uint64_t length = directory ? 0 : c->sx.stx_size;
    uint16_t attributes = (uint16_t)((directory ? 0x10 : 0x20) | ((c->sx.stx_mode & S_IWUSR) ? 0 : 1));
    uint64_t write = filetime(c->sx.stx_mtime);
    uint64_t times[3] = {(c->sx.stx_mask & STATX_BTIME) ? filetime(c->sx.stx_btime) : write, write,
                         filetime(c->sx.stx_atime)};
    for (int i = 0; i < 4; i++) r[i] = (uint8_t)(length >> (8 * i));
    r[4] = (uint8_t)(length >> 32);
    r[5] = (uint8_t)depth;
    r[6] = (uint8_t)attributes;
    r[7] = (uint8_t)(attributes >> 8);
    for (int t = 0; t < 3; t++)
        for (int i = 0; i < 8; i++) r[8 + 8 * t + i] = (uint8_t)(times[t] >> (8 * i));
    put(&g_records, &g_records_size, &g_records_capacity, r, sizeof r);
    put(&g_names, &g_names_size, &g_names_capacity, c->line, c->line_length);
    put(&g_names, &g_names_size, &g_names_capacity, "\n", 1);
}

static void pack(int dir, int depth) {
    struct Child* children = 0;
    size_t count = 0, capacity = 0;
    char block[65536];
    for (;;) {
        ssize_t n = getdents64(dir, block, sizeof block);
        if (n < 0) fail("list", "directory");
        if (n == 0) break;
        for (ssize_t at = 0; at < n;) {
            struct dirent64* d = (struct dirent64*)(block + at);
            at += d->d_reclen;
            if (d->d_name[0] == '.' && (!d->d_name[1] || (d->d_name[1] == '.' && !d->d_name[2]))) continue;
            if (count == capacity) {
                capacity = capacity ? capacity * 2 : 64;
                children = realloc(children, capacity * sizeof *children);
                if (!children) fail("grow", "listing");
            }
            struct Child* c = &children[count++];
            strcpy(c->name, d->d_name);
            c->line_length = cesu8(c->name, c->line);
            if (statx(dir, c->name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &c->sx))
                fail("stat", c->name);
            if (!S_ISDIR(c->sx.stx_mode) && !S_ISREG(c->sx.stx_mode)) count--;
        }
    }
    qsort(children, count, sizeof *children, by_line);
    for (size_t i = 0; i < count; i++) {
        struct Child* c = &children[i];
        if (S_ISDIR(c->sx.stx_mode)) {
            int d = openat(dir, c->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
            if (d < 0) fail("open", c->name);
            record(c, depth, 1);
            pack(d, depth + 1);
            close(d);
            continue;
        }
        record(c, depth, 0);
        uint64_t size = c->sx.stx_size;
        if (size == 0) continue;
        int f = openat(dir, c->name, O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
        if (f < 0) fail("open", c->name);
        for (uint64_t done = 0; done < size;) {
            ssize_t n = copy_file_range(f, 0, g_out, 0, (size_t)(size - done), 0);
            if (n <= 0) fail("copy", c->name);
            done += (uint64_t)n;
        }
        close(f);
    }
    free(children);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench-pack-floor SOURCE_DIR ARCHIVE\n");
        return 2;
    }
    int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_NOATIME | O_CLOEXEC);
    if (root < 0) fail("open", argv[1]);
    g_out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (g_out < 0) fail("create", argv[2]);
    pack(root, 0);
    uint8_t trailer[8];
    for (int i = 0; i < 4; i++) {
        trailer[i] = (uint8_t)(g_names_size >> (8 * i));
        trailer[4 + i] = (uint8_t)(g_records_size >> (8 * i));
    }
    if (write(g_out, g_names, g_names_size) != (ssize_t)g_names_size ||
        write(g_out, g_records, g_records_size) != (ssize_t)g_records_size || write(g_out, trailer, 8) != 8 ||
        close(g_out) != 0)
        fail("write", argv[2]);
    return 0;
}
