/* The benchmark's floor: re-creates the tree of a tree archive with as few
 * system calls as the job allows, so the tables can say how far an extractor
 * is from what the kernel itself costs.
 *
 *   bench-floor ARCHIVE DESTINATION
 *
 * The archive is mapped, never read. Every directory costs mkdirat, an open
 * for its times, futimens and close; every file openat, one write (none when
 * empty), futimens and close. Names are reached relative to the parent's
 * descriptor, which is held open anyway for the parent's times, so the kernel
 * never walks a whole path. Directory times are set when the walk leaves
 * their subtree, innermost first. The read-only bit costs nothing: it is the
 * creation mode, and the descriptor open for writing still writes.
 *
 * It trusts the archive no further than it must not crash on it: a broken
 * one stops it with a message. It prints nothing else and writes no listing.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { RECORD_BYTES = 40,
       TRAILER_BYTES = 8,
       LEVELS = 256,
       NAME_MAX_BYTES = 4096 };

static const int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

static uint32_t le32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint64_t le64(const uint8_t* p) { return (uint64_t)le32(p) | (uint64_t)le32(p + 4) << 32; }

static struct timespec to_timespec(uint64_t filetime) {
    struct timespec ts;
    if (filetime == 0) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    int64_t since = (int64_t)(filetime - (uint64_t)FILETIME_UNIX_EPOCH);
    int64_t seconds = since / 10000000, rest = since % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds--;
    }
    ts.tv_sec = (time_t)seconds;
    ts.tv_nsec = (long)(rest * 100);
    return ts;
}

/* A name line in the kernel's UTF-8: a surrogate pair, carried as two
 * three-byte sequences, becomes one four-byte sequence. */
static int kernel_name(const uint8_t* line, size_t n, char* out) {
    size_t at = 0;
    for (size_t i = 0; i < n;) {
        if (i + 6 <= n && line[i] == 0xED && (line[i + 1] & 0xF0) == 0xA0 && line[i + 3] == 0xED &&
            (line[i + 4] & 0xF0) == 0xB0) {
            uint32_t hi = 0xD000 | (uint32_t)(line[i + 1] & 0x3F) << 6 | (line[i + 2] & 0x3F);
            uint32_t lo = 0xD000 | (uint32_t)(line[i + 4] & 0x3F) << 6 | (line[i + 5] & 0x3F);
            uint32_t c = 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
            if (at + 4 >= NAME_MAX_BYTES) return -1;
            out[at++] = (char)(0xF0 | c >> 18);
            out[at++] = (char)(0x80 | ((c >> 12) & 0x3F));
            out[at++] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[at++] = (char)(0x80 | (c & 0x3F));
            i += 6;
            continue;
        }
        if (at + 1 >= NAME_MAX_BYTES) return -1;
        out[at++] = (char)line[i++];
    }
    out[at] = 0;
    if (at == 0 || strchr(out, '/') || strcmp(out, ".") == 0 || strcmp(out, "..") == 0) return -1;
    return 0;
}

static int fail(const char* what, const char* name) {
    fprintf(stderr, "bench-floor: %s %s: %s\n", what, name, errno ? strerror(errno) : "broken archive");
    return 1;
}

/* Descriptor of the directory at each depth (slot 0: the destination) and the
 * times it gets once its subtree is complete. */
static int g_dirs[LEVELS + 1];
static struct timespec g_times[LEVELS + 1][2];

static void finish_directories(int from, int to) {
    for (int k = from; k >= to; k--) {
        if (g_dirs[k] < 0) continue;
        futimens(g_dirs[k], g_times[k]);
        close(g_dirs[k]);
        g_dirs[k] = -1;
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench-floor ARCHIVE DESTINATION\n");
        return 2;
    }
    errno = 0;
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return fail("open", argv[1]);
    uint64_t size = (uint64_t)st.st_size;
    if (size < TRAILER_BYTES) return 0;
    const uint8_t* map = mmap(0, (size_t)size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) return fail("map", argv[1]);
    close(fd);

    uint64_t names_size = le32(map + size - 8), records_size = le32(map + size - 4);
    errno = 0;
    if (names_size + records_size + TRAILER_BYTES > size || records_size % RECORD_BYTES)
        return fail("read index of", argv[1]);
    const uint8_t* records = map + size - TRAILER_BYTES - records_size;
    const uint8_t* names = records - names_size;
    const uint8_t* names_end = records;
    const uint8_t* data = map;
    const uint8_t* data_end = names;

    for (int k = 0; k <= LEVELS; k++) g_dirs[k] = -1;
    g_dirs[0] = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_dirs[0] < 0) return fail("open", argv[2]);
    int root = g_dirs[0];

    char name[NAME_MAX_BYTES];
    int previous = 0;
    uint64_t count = records_size / RECORD_BYTES;
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t* r = records + i * RECORD_BYTES;
        uint64_t length = (uint64_t)r[4] << 32 | le32(r);
        int depth = r[5];
        int directory = (r[6] & 0x10) != 0;
        int read_only = (r[6] & 0x01) != 0;
        errno = 0;
        if (depth > previous + 1 || depth >= LEVELS - 1 || (i == 0 && depth != 0)) return fail("walk", "records");
        /* Leaving subtrees: slot k + 1 holds the directory at depth k. */
        if (depth <= previous) finish_directories(previous + 1, depth + 1);
        previous = depth;

        const uint8_t* lf = memchr(names, '\n', (size_t)(names_end - names));
        if (!lf || kernel_name(names, (size_t)(lf - names), name) != 0) return fail("read name of", "entry");
        names = lf + 1;
        int parent = depth == 0 ? root : g_dirs[depth];
        if (parent < 0) return fail("walk", name);

        struct timespec times[2] = {to_timespec(le64(r + 24)), to_timespec(le64(r + 16))};
        if (directory) {
            if (mkdirat(parent, name, 0777) != 0) return fail("mkdir", name);
            int d = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (d < 0) return fail("open", name);
            g_dirs[depth + 1] = d;
            g_times[depth + 1][0] = times[0];
            g_times[depth + 1][1] = times[1];
            continue;
        }
        if (length > (uint64_t)(data_end - data)) return fail("read content of", name);
        int out = openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, read_only ? 0444 : 0666);
        if (out < 0) return fail("create", name);
        for (uint64_t done = 0; done < length;) {
            ssize_t n = write(out, data + done, (size_t)(length - done));
            if (n <= 0) return fail("write", name);
            done += (uint64_t)n;
        }
        data += length;
        futimens(out, times);
        close(out);
    }
    finish_directories(previous + 1, 1);
    return 0;
}
