// Writing the tree: directories and files created, filled and stamped, and
// the packer's own output file, reached through the directories held open.
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/backend.h"

// --- Held directories ----------------------------------------------------------
// The extractor holds each directory it creates open until its subtree is
// done, to set its times then. That descriptor is also the shortest way into
// the directory: a path below a held directory is reached from it, so the
// kernel looks up the names below it instead of the whole path, and only
// those names are converted. Held directories nest, each inside the one held
// before it (a directory is released before anything beside it is held), so
// one copy of the deepest one's path serves them all.

enum { HELD_LEVELS = 256 };

static struct {
    WideChar path[PLATFORM_WIDE_PATH_UNITS];  // the deepest held directory's path
    uint32_t units[HELD_LEVELS];              // how much of it names held directory k
    int fd[HELD_LEVELS];                      // -1: released, kept as a prefix of deeper ones
    uint32_t count;
} g_held;

static uint32_t wide_length(const WideChar* w) {
    uint32_t n = 0;
    while (w[n]) n++;
    return n;
}

static void hold_directory(const WideChar* path, int fd) {
    uint32_t n = wide_length(path);
    // Forget the directories this one is not inside (they stay open for
    // their owner, they are only not used as a way in any longer).
    while (g_held.count) {
        uint32_t k = g_held.units[g_held.count - 1];
        if (k < n && path[k] == '\\' && memcmp(path, g_held.path, k * sizeof(WideChar)) == 0) break;
        g_held.count--;
    }
    if (g_held.count == HELD_LEVELS || n >= PLATFORM_WIDE_PATH_UNITS) return;
    memcpy(g_held.path, path, (n + 1) * sizeof(WideChar));
    g_held.units[g_held.count] = n;
    g_held.fd[g_held.count] = fd;
    g_held.count++;
}

void forget_held(int fd) {
    if (g_held.count == 0) return;
    for (uint32_t i = g_held.count; i-- > 0;)
        if (g_held.fd[i] == fd) {
            g_held.fd[i] = -1;
            break;
        }
    while (g_held.count && g_held.fd[g_held.count - 1] < 0) g_held.count--;
}

// The deepest held directory `path` lies below; its index, and where the
// names below it start, or -1.
static int held_parent(const WideChar* path, uint32_t* below) {
    if (g_held.count == 0) return -1;
    uint32_t deepest = g_held.units[g_held.count - 1];
    uint32_t same = 0;
    while (same < deepest && path[same] == g_held.path[same]) same++;
    for (uint32_t i = g_held.count; i-- > 0;) {
        uint32_t k = g_held.units[i];
        if (k <= same && path[k] == '\\' && g_held.fd[i] >= 0) {
            *below = k + 1;
            return (int)i;
        }
    }
    return -1;
}

// Long paths are walked by opening prefixes that fit.

static void release(AtPath* p) {
    if (p->owned) SYS(SYS_CLOSE, close(p->dirfd));
    p->owned = false;
}

bool at_path(const WideChar* path, AtPath* out) {
    out->dirfd = AT_FDCWD;
    out->owned = false;
    uint32_t below;
    int held = held_parent(path, &below);
    if (held >= 0) {
        out->dirfd = g_held.fd[held];
        out->rest = utf16_to_utf8(path + below, g_kernel_path, KERNEL_PATH_BYTES, true) ? g_kernel_path : 0;
    } else {
        out->rest = kernel_path(path);
    }
    if (!out->rest) {
        errno = ENAMETOOLONG;
        return false;
    }
    while (strlen(out->rest) >= PATH_MAX) {
        // The longest prefix that ends at a slash and fits.
        const char* rest = out->rest;
        const char* cut = rest + PATH_MAX - 1;
        while (cut > rest && *cut != '/') cut--;
        if (cut == rest) {
            errno = ENAMETOOLONG;
            release(out);
            return false;
        }
        char saved = *cut;
        *(char*)cut = 0;
        int fd = SYS(SYS_OPENAT, openat(out->dirfd, *rest ? rest : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        *(char*)cut = saved;
        int e = errno;
        release(out);
        if (fd < 0) {
            errno = e;
            out->dirfd = AT_FDCWD;
            return false;
        }
        out->dirfd = fd;
        out->owned = true;
        out->rest = cut + 1;
    }
    return true;
}

void release_at(AtPath* p) {
    if (p->owned) {
        int e = errno;
        SYS(SYS_CLOSE, close(p->dirfd));
        errno = e;
    }
}

// --- Directories and files ---------------------------------------------------

bool platform_create_directory(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return false;
    int r = SYS(SYS_MKDIRAT, mkdirat(p.dirfd, p.rest, 0777));
    release_at(&p);
    return r == 0;
}

PathKind platform_path_kind(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return PATH_MISSING;
    struct stat st;
    int r = SYS(SYS_FSTATAT, fstatat(p.dirfd, p.rest, &st, AT_SYMLINK_NOFOLLOW));
    release_at(&p);
    if (r != 0) return PATH_MISSING;
    return S_ISDIR(st.st_mode) ? PATH_DIRECTORY : S_ISLNK(st.st_mode) ? PATH_LINK : PATH_OTHER;
}

PlatformHandle platform_create_file(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return PLATFORM_NO_HANDLE;
    // Exclusive first: a new file costs one call, and only an existing one is
    // looked at.
    int fd = SYS(SYS_OPENAT, openat(p.dirfd, p.rest, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd < 0 && errno == EEXIST) {
        struct stat st;
        if (SYS(SYS_FSTATAT, fstatat(p.dirfd, p.rest, &st, AT_SYMLINK_NOFOLLOW)) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mode & 0222) == 0) {
            // A read-only file is not replaced, whatever our privileges.
            errno = EACCES;
        } else {
            // Never through a link that was already there.
            fd = SYS(SYS_OPENAT, openat(p.dirfd, p.rest, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    release_at(&p);
    return to_handle(fd);
}

uint32_t platform_write(PlatformHandle h, const void* buffer, uint32_t count) {
    if (h == PLATFORM_NO_HANDLE) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = SYS(SYS_WRITE, write(to_fd(h), (const char*)buffer + done, count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            break;
        }
        done += (uint32_t)n;
    }
    return done;
}

// One loop for both in-kernel copies: from the current position of `from`
// to that of `to`. -1 when the kernel offers no such copy between these two
// files and nothing was transferred; a short count leaves errno set (0 when
// the source ended).
int64_t kernel_copy(SyscallId id, PlatformHandle from, PlatformHandle to, uint64_t count) {
    if (from == PLATFORM_NO_HANDLE || to == PLATFORM_NO_HANDLE) return -1;
    uint64_t done = 0;
    while (done < count) {
        uint64_t want = count - done;
        if (want > 0x40000000) want = 0x40000000;
        ssize_t n = id == SYS_SENDFILE
                        ? SYS(SYS_SENDFILE, sendfile(to_fd(to), to_fd(from), 0, (size_t)want))
                        : SYS(SYS_COPY_FILE_RANGE, copy_file_range(to_fd(from), 0, to_fd(to), 0, (size_t)want, 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                              errno == EBADF))
                return -1;
            return (int64_t)done;
        }
        if (n == 0) {
            errno = 0;  // the source ended
            return (int64_t)done;
        }
        done += (uint64_t)n;
    }
    return (int64_t)done;
}

int64_t platform_copy_in_kernel(PlatformHandle from, PlatformHandle to, uint64_t count) {
    return kernel_copy(SYS_COPY_FILE_RANGE, from, to, count);
}

PlatformHandle platform_open_directory(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return PLATFORM_NO_HANDLE;
    int fd = SYS(SYS_OPENAT, openat(p.dirfd, p.rest, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    release_at(&p);
    if (fd >= 0) hold_directory(path, fd);
    return to_handle(fd);
}

static struct timespec to_timespec(uint64_t filetime) {
    struct timespec ts;
    if (filetime == 0) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;  // as on Windows: a zero time changes nothing
        return ts;
    }
    // Times before 1970 are negative; divide towards minus infinity.
    int64_t since_epoch = (int64_t)(filetime - (uint64_t)FILETIME_UNIX_EPOCH);
    int64_t seconds = since_epoch / 10000000;
    int64_t rest = since_epoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds--;
    }
    ts.tv_sec = (time_t)seconds;
    ts.tv_nsec = (long)(rest * 100);
    return ts;
}

void platform_set_times(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write) {
    (void)creation;  // Linux keeps no settable creation time
    if (h == PLATFORM_NO_HANDLE || (access == 0 && write == 0)) return;
    struct timespec ts[2] = {to_timespec(access), to_timespec(write)};
    SYS(SYS_FUTIMENS, futimens(to_fd(h), ts));
}

void platform_set_attributes(const WideChar* path, uint32_t attributes, bool is_directory) {
    // Only the read-only bit has a meaning here, and only on files: Windows
    // still lets new entries into a read-only directory.
    if (is_directory || !(attributes & 0x0001)) return;
    AtPath p;
    if (!at_path(path, &p)) return;
    struct stat st;
    if (SYS(SYS_FSTATAT, fstatat(p.dirfd, p.rest, &st, AT_SYMLINK_NOFOLLOW)) == 0 && S_ISREG(st.st_mode))
        SYS(SYS_FCHMODAT, fchmodat(p.dirfd, p.rest, st.st_mode & 07555, 0));
    release_at(&p);
}

// --- The packer's output -------------------------------------------------------
// ARCHIVE's final target is reached as a directory descriptor and a name in
// it, symbolic links followed by hand: so the temporary file lands beside
// the file that gets replaced, and the link itself stays.

OutputFile g_output = {-1, {0}, {0}, 0, false, false, 0, 0, 0, 0, 0};

void remove_output_temporary() {
    if (g_output.temporary_exists) unlinkat(g_output.directory, g_output.temporary, 0);
}

static void forget_output() {
    if (g_output.directory >= 0) SYS(SYS_CLOSE, close(g_output.directory));
    memset(&g_output, 0, sizeof g_output);
    g_output.directory = -1;
}

// Splits `path` (kernel bytes, relative to `dirfd`) into its directory,
// opened as g_output.directory, and its last name. False with errno set.
static bool open_output_directory(int dirfd, const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (strlen(name) >= OUTPUT_NAME_BYTES) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd;
    if (!slash) {
        fd = SYS(SYS_OPENAT, openat(dirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    } else {
        char directory[PATH_MAX];
        size_t n = (size_t)(slash - path);
        if (n >= sizeof directory) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(directory, path, n);
        directory[n] = 0;
        fd = SYS(SYS_OPENAT, openat(dirfd, n ? directory : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (fd < 0) return false;
    if (g_output.directory >= 0) SYS(SYS_CLOSE, close(g_output.directory));
    g_output.directory = fd;
    // A target of "" (a link to "dir/") or "." names a directory.
    strcpy(g_output.name, *name ? name : ".");
    return true;
}

// The temporary file's name: the archive's, cut (never within a character)
// so that the suffix fits the system's limit on a name.
static void temporary_name(uint32_t attempt) {
    char suffix[40];
    if (attempt == 0) snprintf(suffix, sizeof suffix, ".partial-%u", (unsigned)getpid());
    else snprintf(suffix, sizeof suffix, ".partial-%u-%u", (unsigned)getpid(), (unsigned)attempt);
    size_t keep = strlen(g_output.name), room = NAME_MAX - strlen(suffix);
    if (keep > room) {
        keep = room;
        while (keep > 0 && ((uint8_t)g_output.name[keep] & 0xC0) == 0x80) keep--;
    }
    memcpy(g_output.temporary, g_output.name, keep);
    strcpy(g_output.temporary + keep, suffix);
}

PlatformHandle platform_output_open(const WideChar* path, PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    forget_output();
    AtPath p;
    if (!at_path(path, &p)) return PLATFORM_NO_HANDLE;
    bool opened = open_output_directory(p.dirfd, p.rest);
    release_at(&p);
    if (!opened) return PLATFORM_NO_HANDLE;

    struct stat st;
    bool exists;
    for (int hops = 0;; hops++) {
        exists = SYS(SYS_FSTATAT, fstatat(g_output.directory, g_output.name, &st, AT_SYMLINK_NOFOLLOW)) == 0;
        if (!exists && errno != ENOENT) return PLATFORM_NO_HANDLE;
        if (!exists || !S_ISLNK(st.st_mode)) break;
        char link[PATH_MAX];
        ssize_t n = hops == 40 ? (errno = ELOOP, -1)
                               : SYS(SYS_READLINKAT, readlinkat(g_output.directory, g_output.name, link, sizeof link));
        if (n < 0 || n >= (ssize_t)sizeof link) {
            if (n >= 0) errno = ENAMETOOLONG;
            return PLATFORM_NO_HANDLE;
        }
        link[n] = 0;
        if (!open_output_directory(g_output.directory, link)) return PLATFORM_NO_HANDLE;
    }

    if (exists && S_ISDIR(st.st_mode)) {
        target->kind = PLATFORM_TARGET_DIRECTORY;
        errno = EISDIR;
        return PLATFORM_NO_HANDLE;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, a FIFO: written to as it is, as the shell's ">" would.
        int fd = SYS(SYS_OPENAT, openat(g_output.directory, g_output.name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd < 0) return PLATFORM_NO_HANDLE;
        target->kind = PLATFORM_TARGET_STREAM;
        return to_handle(fd);
    }
    if (exists) {
        // Replaced only where it could have been written to.
        if (SYS(SYS_FACCESSAT, faccessat(g_output.directory, g_output.name, W_OK, AT_EACCESS)) != 0)
            return PLATFORM_NO_HANDLE;
        g_output.replacing = true;
        g_output.mode = st.st_mode & 07777;
        g_output.owner = st.st_uid;
        g_output.group = st.st_gid;
        target->volume[target->left_out] = (uint64_t)st.st_dev;
        target->index[target->left_out++] = (uint64_t)st.st_ino;
    }
    target->kind = exists ? PLATFORM_TARGET_REPLACED : PLATFORM_TARGET_NEW;

    // Private until it is whole when it replaces a file: that file's own
    // permissions come at the end.
    int fd = -1;
    for (uint32_t attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary_name(attempt);
        hold_interruptions(true);
        fd = SYS(SYS_OPENAT, openat(g_output.directory, g_output.temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                    g_output.replacing ? 0600 : 0666));
        g_output.temporary_exists = fd >= 0;
        int e = errno;
        hold_interruptions(false);
        errno = e;
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return PLATFORM_NO_HANDLE;
    if (SYS(SYS_FSTAT, fstat(fd, &st)) == 0) {
        g_output.temporary_owner = st.st_uid;
        g_output.temporary_group = st.st_gid;
        target->volume[target->left_out] = (uint64_t)st.st_dev;
        target->index[target->left_out++] = (uint64_t)st.st_ino;
    }
    return to_handle(fd);
}

bool platform_output_commit(PlatformHandle h) {
    int fd = to_fd(h);
    if (!g_output.temporary_exists) {
        bool closed = g_output.standard || SYS(SYS_CLOSE, close(fd)) == 0;
        int e = errno;
        forget_output();
        errno = e;
        return closed;
    }
    if (g_output.replacing) {
        // Owner and group first: a change of owner clears the set-ID bits.
        if (g_output.owner != g_output.temporary_owner || g_output.group != g_output.temporary_group) {
            if (SYS(SYS_FCHOWN, fchown(fd, g_output.owner, g_output.group)) != 0 && errno == EPERM)
                SYS(SYS_FCHOWN, fchown(fd, (uid_t)-1, g_output.group));  // a group of the user's, perhaps
        }
        SYS(SYS_FCHMOD, fchmod(fd, g_output.mode));
    }
    // A file system may report a failed write only now.
    bool ok = SYS(SYS_CLOSE, close(fd)) == 0 &&
              SYS(SYS_RENAMEAT, renameat(g_output.directory, g_output.temporary, g_output.directory, g_output.name)) == 0;
    int e = errno;
    if (ok) g_output.temporary_exists = 0;
    else remove_output_temporary();
    forget_output();
    errno = e;
    return ok;
}

bool platform_output_discard(PlatformHandle h) {
    if (!g_output.standard && h != PLATFORM_NO_HANDLE) SYS(SYS_CLOSE, close(to_fd(h)));
    bool removed = !g_output.temporary_exists ||
                   SYS(SYS_UNLINKAT, unlinkat(g_output.directory, g_output.temporary, 0)) == 0;
    int e = errno;
    if (removed) g_output.temporary_exists = 0;
    // A temporary file that stays keeps its name for the message.
    if (removed) forget_output();
    errno = e;
    return removed;
}

uint32_t platform_output_temporary_name(char* out, uint32_t capacity) {
    uint32_t n = (uint32_t)strlen(g_output.temporary);
    if (n + 1 > capacity) return 0;
    memcpy(out, g_output.temporary, n + 1);
    return n;
}
