/* Preloaded into the packer by its end-to-end tests (Linux): the calls that
 * finish the archive are written down in the order they are made, and one of
 * them can be made to fail as a failing disk, a full quota or NFS would.
 *
 *   UNTREE_CALLS_LOG=PATH   one line per call appended to PATH: "tmpfile",
 *                           "temporary NAME", "fchown", "fchmod",
 *                           "fdatasync output", "fsync directory",
 *                           "syncfs", "linkat NAME", "renameat NAME NAME",
 *                           "close output"
 *   UNTREE_CALLS_FAIL=CALL  the first such call on the output fails with EIO;
 *                           "tmpfile": O_TMPFILE fails with EOPNOTSUPP, as on
 *                           a file system without it, every time
 *
 * The packer opens by openat64 (x86_64 glibc's name for openat).
 * The output is the file opened with O_TMPFILE, or with O_CREAT | O_EXCL
 * under a name holding ".partial-".
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int g_output = -1;

static void note(const char* what, const char* a, const char* b) {
    const char* log = getenv("UNTREE_CALLS_LOG");
    if (!log) return;
    char line[1024];
    int n = snprintf(line, sizeof line, "%s%s%s%s%s\n", what, a ? " " : "", a ? a : "", b ? " " : "", b ? b : "");
    int fd = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (write(fd, line, (size_t)n) < 0) {
    }
    syscall(SYS_close, fd);
}

/* Whether this call is to fail; each call fails once at most. */
static int fails(const char* call) {
    static int done;
    const char* which = getenv("UNTREE_CALLS_FAIL");
    if (done || !which || strcmp(which, call) != 0) return 0;
    done = 1;
    errno = EIO;
    return 1;
}

#define REAL(name) \
    static __typeof__(&name) real_##name; \
    if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static int opened(int fd, const char* path, int flags) {
    if (fd >= 0 && (flags & O_TMPFILE) == O_TMPFILE) {
        g_output = fd;
        note("tmpfile", 0, 0);
    } else if (fd >= 0 && (flags & O_CREAT) && (flags & O_EXCL) && strstr(path, ".partial-")) {
        g_output = fd;
        note("temporary", path, 0);
    }
    return fd;
}

static int refuse_tmpfile(int flags) {
    const char* which = getenv("UNTREE_CALLS_FAIL");
    if ((flags & O_TMPFILE) != O_TMPFILE || !which || strcmp(which, "tmpfile") != 0) return 0;
    errno = EOPNOTSUPP;
    return 1;
}

int openat64(int dirfd, const char* path, int flags, ...) {
    REAL(openat64);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = (mode_t)va_arg(args, int);
        va_end(args);
    }
    if (refuse_tmpfile(flags)) return -1;
    return opened(real_openat64(dirfd, path, flags, mode), path, flags);
}

int fdatasync(int fd) {
    REAL(fdatasync);
    if (fd != g_output) return real_fdatasync(fd);
    note("fdatasync output", 0, 0);
    return fails("fdatasync") ? -1 : real_fdatasync(fd);
}

int fsync(int fd) {
    REAL(fsync);
    struct stat st;
    int directory = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    note(directory ? "fsync directory" : fd == g_output ? "fsync output"
                                                        : "fsync other",
         0, 0);
    return fails("fsync") ? -1 : real_fsync(fd);
}

int syncfs(int fd) {
    REAL(syncfs);
    note("syncfs", 0, 0);
    return fails("syncfs") ? -1 : real_syncfs(fd);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    REAL(linkat);
    note("linkat", to, 0);
    return fails("linkat") ? -1 : real_linkat(from_dir, from, to_dir, to, flags);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    REAL(renameat);
    note("renameat", from, to);
    return fails("renameat") ? -1 : real_renameat(from_dir, from, to_dir, to);
}

int fchmod(int fd, mode_t mode) {
    REAL(fchmod);
    if (fd != g_output) return real_fchmod(fd, mode);
    note("fchmod", 0, 0);
    return fails("fchmod") ? -1 : real_fchmod(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
    REAL(fchown);
    if (fd != g_output) return real_fchown(fd, owner, group);
    note("fchown", 0, 0);
    return fails("fchown") ? -1 : real_fchown(fd, owner, group);
}

/* The descriptor is closed whatever close says, as the kernel does. */
int close(int fd) {
    REAL(close);
    if (fd != g_output || fd < 0) return real_close(fd);
    g_output = -1;
    note("close output", 0, 0);
    int r = real_close(fd);
    return fails("close") ? -1 : r;
}
