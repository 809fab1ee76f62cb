// Reading the packer's source tree: directories listed by descriptor, each
// name looked at once, files read without moving their access times.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/posix/backend.h"

// --- Packing -------------------------------------------------------------------
// The source is reached by descriptor and name, never by a built path, so its
// depth meets no path-length limit. Directories and files are opened with
// O_NOATIME: the packer records access times and must not move them by its
// own reads. Only the owner (or a privileged process) may ask for that;
// anyone else gets EPERM and reads without it.

static int open_keeping_atime(int dirfd, const char* name, int flags) {
    int fd = SYS(SYS_OPENAT, openat(dirfd, name, flags | O_NOATIME));
    if (fd < 0 && errno == EPERM) fd = SYS(SYS_OPENAT, openat(dirfd, name, flags));
    return fd;
}

// A listed name back to the bytes the kernel knows it by: valid UTF-8 decodes
// to UTF-16 and encodes back to the very same bytes.
static const char* source_name(const WideChar* name) {
    static char bytes[PLATFORM_NAME_UNITS * 3];
    if (utf16_to_utf8(name, bytes, sizeof bytes, false) == 0) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return bytes;
}

// A FILETIME holds 1601-01-01 to 30828-09-14 (the largest signed value);
// 0 means "no time" to the extractor. Earlier times become the earliest
// non-zero one, later ones the latest, and *faults says so.
static uint64_t filetime_of(int64_t seconds, uint32_t nanoseconds, uint32_t* faults) {
    const int64_t first = -FILETIME_UNIX_EPOCH / 10000000;
    const int64_t last = (INT64_MAX - FILETIME_UNIX_EPOCH) / 10000000;
    if (seconds < first) {
        *faults |= PLATFORM_TIME_TOO_EARLY;
        return 1;
    }
    if (seconds >= last) {
        uint64_t t = seconds == last ? (uint64_t)(seconds * 10000000 + FILETIME_UNIX_EPOCH) : UINT64_MAX;
        if (seconds > last || t > (uint64_t)INT64_MAX - nanoseconds / 100) {
            *faults |= PLATFORM_TIME_TOO_LATE;
            return (uint64_t)INT64_MAX;
        }
    }
    uint64_t t = (uint64_t)(seconds * 10000000 + FILETIME_UNIX_EPOCH) + nanoseconds / 100;
    return t ? t : 1;
}

static uint64_t stamp_of(int64_t seconds, uint32_t nanoseconds) {
    return (uint64_t)seconds * 1000000000u + nanoseconds;
}

static uint32_t entry_kind(uint32_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG: return PLATFORM_ENTRY_FILE;
    case S_IFDIR: return PLATFORM_ENTRY_DIRECTORY;
    case S_IFLNK: return PLATFORM_ENTRY_LINK;
    case S_IFCHR:
    case S_IFBLK: return PLATFORM_ENTRY_DEVICE;
    case S_IFSOCK: return PLATFORM_ENTRY_SOCKET;
    case S_IFIFO: return PLATFORM_ENTRY_FIFO;
    default: return PLATFORM_ENTRY_OTHER;
    }
}

static void describe_entry(PlatformSourceEntry* e, uint32_t mode, uint64_t size) {
    e->kind = entry_kind(mode);
    e->attributes = e->kind == PLATFORM_ENTRY_DIRECTORY ? 0x0010 : 0x0020;
    if (!(mode & S_IWUSR)) e->attributes |= 0x0001;
    e->size = e->kind == PLATFORM_ENTRY_FILE ? size : 0;
    e->mode = mode & 07777;
    e->mode_known = true;
}

static struct {
    int fd;
    uint32_t fill;
    uint32_t position;
    bool no_statx;  // the kernel has no statx: fstatat, and no birth times
    alignas(8) char block[65536];
} g_listing = {-1, 0, 0, false, {0}};

// Attributes, size, times, state and identity of one listed name, never
// through a link: the one look at it before it is read.
static void stat_entry(const char* name, PlatformSourceEntry* e) {
    uint32_t* faults = &e->time_faults;
    if (!g_listing.no_statx) {
        struct statx sx;
        int r = SYS(SYS_STATX, statx(g_listing.fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                                     STATX_BASIC_STATS | STATX_BTIME, &sx));
        if (r == 0) {
            describe_entry(e, sx.stx_mode, sx.stx_size);
            e->write_time = filetime_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec, faults);
            e->access_time = filetime_of(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec, faults);
            // Without a birth time the last write is the earliest time known.
            e->creation_time = (sx.stx_mask & STATX_BTIME)
                                   ? filetime_of(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec, faults)
                                   : e->write_time;
            e->state.size = sx.stx_size;
            e->state.write_stamp = stamp_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
            e->state.change_stamp = stamp_of(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
            e->state.change_known = true;
            e->identity_known = true;
            e->volume = (uint64_t)makedev(sx.stx_dev_major, sx.stx_dev_minor);
            e->index = sx.stx_ino;
            return;
        }
        if (errno != ENOSYS) {
            e->error = (uint32_t)errno;
            return;
        }
        g_listing.no_statx = true;
    }
    struct stat st;
    if (SYS(SYS_FSTATAT, fstatat(g_listing.fd, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) {
        e->error = (uint32_t)errno;
        return;
    }
    describe_entry(e, st.st_mode, (uint64_t)st.st_size);
    e->write_time = filetime_of(st.st_mtim.tv_sec, (uint32_t)st.st_mtim.tv_nsec, faults);
    e->access_time = filetime_of(st.st_atim.tv_sec, (uint32_t)st.st_atim.tv_nsec, faults);
    e->creation_time = e->write_time;
    e->state.size = (uint64_t)st.st_size;
    e->state.write_stamp = stamp_of(st.st_mtim.tv_sec, (uint32_t)st.st_mtim.tv_nsec);
    e->state.change_stamp = stamp_of(st.st_ctim.tv_sec, (uint32_t)st.st_ctim.tv_nsec);
    e->state.change_known = true;
    e->identity_known = true;
    e->volume = file_volume(st);
    e->index = file_index(st);
}

PlatformHandle platform_open_source_root(const char* argument, const WideChar*) {
    AtPath p;
    if (!at_path(argument, &p)) return PLATFORM_NO_HANDLE;
    int fd = open_keeping_atime(p.dirfd, *p.rest ? p.rest : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    release_at(&p);
    return to_handle(fd);
}

// The listing already told what each name is, and no link is followed.
PlatformHandle platform_open_source_directory(PlatformHandle parent, const WideChar* name, const WideChar*,
                                              uint32_t*) {
    const char* n = source_name(name);
    if (!n || parent == PLATFORM_NO_HANDLE) return PLATFORM_NO_HANDLE;
    // The files read so far are closed first, so that the directory takes
    // the lowest descriptor and the files inside it follow in a row.
    platform_release_sources();
    return to_handle(open_keeping_atime(to_fd(parent), n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool platform_list_begin(PlatformHandle directory, const WideChar*) {
    if (directory == PLATFORM_NO_HANDLE) {
        errno = EBADF;
        return false;
    }
    g_listing.fd = to_fd(directory);
    g_listing.fill = 0;
    g_listing.position = 0;
    return true;
}

int platform_list_next(PlatformSourceEntry* out) {
    for (;;) {
        if (g_listing.position >= g_listing.fill) {
            ssize_t n = SYS(SYS_GETDENTS64, getdents64(g_listing.fd, g_listing.block, sizeof g_listing.block));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) return 0;
            g_listing.fill = (uint32_t)n;
            g_listing.position = 0;
        }
        const struct dirent64* d = (const struct dirent64*)(g_listing.block + g_listing.position);
        g_listing.position += d->d_reclen;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;

        memset(out, 0, sizeof *out);
        // A byte that starts no UTF-8 character becomes U+DC00 + byte: the name
        // still sorts and shows, and is known not to be UTF-8. One longer than
        // the kernel's limit (a file system may list one) shows cut short.
        bool well_formed;
        uint32_t units = system_bytes_to_utf16(name, out->name, PLATFORM_NAME_UNITS, &well_formed);
        if (units == 0)
            while (out->name[units] != 0) units++;
        else
            units--;
        out->name_units = units;
        out->name_is_unicode = well_formed;
        // A name the archive cannot carry is not looked at any further.
        if (out->name_is_unicode) stat_entry(name, out);
        return 1;
    }
}

void platform_list_end() { g_listing.fd = -1; }

// Source files read are closed in runs of consecutive descriptors, one
// close_range for up to CLOSING_RUN of them: the kernel hands out the lowest
// free descriptor, so the files of one directory mostly come in a row.
enum { CLOSING_RUN = 64 };

static struct {
    int first, last;  // the run held, -1 when none
    bool one_by_one;  // the kernel has no close_range
} g_closing = {-1, -1, false};

void platform_release_sources() {
    if (g_closing.first < 0) return;
    bool closed = false;
    if (g_closing.first < g_closing.last && !g_closing.one_by_one) {
        closed = SYS(SYS_CLOSE_RANGE, close_range((unsigned)g_closing.first, (unsigned)g_closing.last, 0)) == 0;
        if (!closed && errno == ENOSYS) g_closing.one_by_one = true;
    }
    if (!closed)
        for (int fd = g_closing.first; fd <= g_closing.last; fd++) SYS(SYS_CLOSE, close(fd));
    g_closing.first = g_closing.last = -1;
}

void platform_release_source(PlatformHandle h) {
    if (h == PLATFORM_NO_HANDLE) return;
    int fd = to_fd(h);
    if (g_closing.first >= 0 && fd == g_closing.last + 1 && fd - g_closing.first < CLOSING_RUN) {
        g_closing.last = fd;
        return;
    }
    platform_release_sources();
    g_closing.first = g_closing.last = fd;
}

int32_t platform_read_link(PlatformHandle parent, const WideChar* name, const WideChar*, char* out,
                           uint32_t capacity) {
    const char* n = source_name(name);
    if (!n) return -1;
    ssize_t r = SYS(SYS_READLINKAT, readlinkat(to_fd(parent), n, out, capacity));
    if (r < 0) return -1;
    if ((uint32_t)r >= capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return (int32_t)r;
}

PlatformHandle platform_open_source_file(PlatformHandle parent, const WideChar* name, const WideChar*, uint32_t*) {
    const char* n = source_name(name);
    if (!n || parent == PLATFORM_NO_HANDLE) return PLATFORM_NO_HANDLE;
    // Non-blocking: should a FIFO take the file's place, opening it must not
    // wait for a writer.
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = open_keeping_atime(to_fd(parent), n, flags);
    if (fd < 0 && errno == EMFILE && g_closing.first >= 0) {
        // The files read and not yet closed use up the descriptors allowed.
        platform_release_sources();
        fd = open_keeping_atime(to_fd(parent), n, flags);
    }
    return to_handle(fd);
}

bool platform_file_state(PlatformHandle h, PlatformFileState* out) {
    struct stat st;
    if (h == PLATFORM_NO_HANDLE || SYS(SYS_FSTAT, fstat(to_fd(h), &st)) != 0) return false;
    out->size = (uint64_t)st.st_size;
    out->write_stamp = stamp_of(st.st_mtim.tv_sec, (uint32_t)st.st_mtim.tv_nsec);
    out->change_stamp = stamp_of(st.st_ctim.tv_sec, (uint32_t)st.st_ctim.tv_nsec);
    out->change_known = true;
    return true;
}

int64_t platform_send_file(PlatformHandle from, PlatformHandle to, uint64_t count) {
    return kernel_copy(SYS_SENDFILE, from, to, count);
}
