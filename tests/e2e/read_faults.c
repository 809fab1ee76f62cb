/* Preloaded into the extractor by the end-to-end tests (Linux): reads of one
 * file fail over a byte range as on a failing disk, or the file is cut short
 * while it is read, as another program truncating it would do; or the
 * extractor is held before it stamps each file, so that another process can
 * act at exactly that point.
 *
 *   UNTREE_FAULT_FILE=PATH     the file, known by its device and inode
 *   UNTREE_FAULT_EIO=FROM-TO   bytes FROM to TO - 1 cannot be read (EIO); a
 *                              read that starts before FROM stops there
 *   UNTREE_FAULT_CUT=AT        the first read that starts before AT and would
 *                              go past it truncates the file to AT bytes first
 *   UNTREE_FAULT_CLOSE=PATH    closing a descriptor of this file fails with EIO
 *                              (it is closed all the same), as on NFS when the
 *                              content could not be written back
 *   UNTREE_FAULT_TIMES=PATH    setting this file's times fails with EPERM
 *
 *   UNTREE_HOLD_FDS=W,R        before the times of a regular file are set
 *                              (futimens), its path and a line feed are
 *                              written to descriptor W, then one byte is
 *                              read from R
 *   UNTREE_HOLD_AT=FROM-TO     with UNTREE_HOLD_FDS and UNTREE_FAULT_FILE: the
 *                              first read of the file that starts in bytes
 *                              FROM to TO - 1 holds the same way instead,
 *                              its line being "read"
 *
 * read() and copy_file_range() from the current position are covered, the
 * two ways the extractor takes bytes from the archive, and close() and
 * futimens() on what it made.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int is_target(int fd, const char* path) {
    struct stat a, b;
    return path && fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* Writes `line` to the first descriptor of UNTREE_HOLD_FDS, then waits for
 * a byte on the second. */
static void hold(const char* line, size_t length) {
    const char* fds = getenv("UNTREE_HOLD_FDS");
    if (!fds || !strchr(fds, ',')) return;
    int tell = atoi(fds), wait = atoi(strchr(fds, ',') + 1);
    char go;
    if (write(tell, line, length) == (ssize_t)length) (void)!read(wait, &go, 1);
}

/* How many of `count` bytes at the position of fd may be read; -1: none. */
static long long allowed(int fd, long long count) {
    const char* path = getenv("UNTREE_FAULT_FILE");
    if (!is_target(fd, path)) return count;
    long long at = lseek(fd, 0, SEEK_CUR);
    static int held;
    const char* hold_at = getenv("UNTREE_HOLD_AT");
    if (hold_at && !held) {
        char* dash;
        long long from = strtoll(hold_at, &dash, 10), to = atoll(dash + 1);
        if (at >= from && at < to) {
            held = 1;
            hold("read\n", 5);
        }
    }
    const char* cut = getenv("UNTREE_FAULT_CUT");
    if (cut) {
        long long end = atoll(cut);
        if (at < end && at + count > end && truncate(path, end) != 0) return -1;
    }
    const char* eio = getenv("UNTREE_FAULT_EIO");
    if (eio) {
        char* dash;
        long long from = strtoll(eio, &dash, 10), to = atoll(dash + 1);
        if (at >= from && at < to) return -1;
        if (at < from && at + count > from) return from - at;
    }
    return count;
}

ssize_t read(int fd, void* buffer, size_t count) {
    static ssize_t (*real)(int, void*, size_t);
    if (!real) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    long long n = allowed(fd, (long long)count);
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    return real(fd, buffer, (size_t)n);
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset, size_t count, unsigned flags) {
    static ssize_t (*real)(int, off64_t*, int, off64_t*, size_t, unsigned);
    if (!real) real = (ssize_t(*)(int, off64_t*, int, off64_t*, size_t, unsigned))dlsym(RTLD_NEXT, "copy_file_range");
    long long n = in_offset ? (long long)count : allowed(in, (long long)count);
    if (n < 0) {
        errno = EIO;
        return -1;
    }
    return real(in, in_offset, out, out_offset, (size_t)n, flags);
}

int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int target = is_target(fd, getenv("UNTREE_FAULT_CLOSE"));
    int result = real(fd);
    if (target && result == 0) {
        errno = EIO;
        return -1;
    }
    return result;
}

int futimens(int fd, const struct timespec times[2]) {
    static int (*real)(int, const struct timespec*);
    if (!real) real = (int (*)(int, const struct timespec*))dlsym(RTLD_NEXT, "futimens");
    struct stat st;
    if (getenv("UNTREE_HOLD_FDS") && !getenv("UNTREE_HOLD_AT") && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char link[64], path[4097];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        if (n > 0) {
            path[n++] = '\n';
            hold(path, (size_t)n);
        }
    }
    if (is_target(fd, getenv("UNTREE_FAULT_TIMES"))) {
        errno = EPERM;
        return -1;
    }
    return real(fd, times);
}
