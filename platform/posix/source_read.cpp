// Reading the packer's source tree: directories listed by descriptor, each
// name looked at once, files read without moving their access times.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

// Strict UTF-8 to UTF-16: no overlong form, no encoded surrogate, nothing
// beyond U+10FFFF, no sequence cut short. Anything else has no UTF-16 form.
static bool strict_utf8_to_utf16(const char* text, WideChar* out, uint32_t capacity, uint32_t* units) {
    const uint8_t* s = (const uint8_t*)text;
    uint32_t at = 0;
    while (*s) {
        uint32_t c = *s++;
        uint32_t extra, least;
        if (c < 0x80) extra = 0, least = 0;
        else if (c >= 0xC2 && c <= 0xDF) c &= 0x1F, extra = 1, least = 0x80;
        else if (c >= 0xE0 && c <= 0xEF) c &= 0x0F, extra = 2, least = 0x800;
        else if (c >= 0xF0 && c <= 0xF4) c &= 0x07, extra = 3, least = 0x10000;
        else return false;
        for (uint32_t i = 0; i < extra; i++, s++) {
            if ((*s & 0xC0) != 0x80) return false;
            c = (c << 6) | (*s & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        uint32_t need = c >= 0x10000 ? 2 : 1;
        if (at + need + 1 > capacity) return false;
        if (need == 2) {
            out[at++] = (WideChar)(0xD800 + ((c - 0x10000) >> 10));
            out[at++] = (WideChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[at++] = (WideChar)c;
        }
    }
    out[at] = 0;
    *units = at;
    return true;
}

static uint64_t filetime_of(int64_t seconds, uint32_t nanoseconds) {
    // Before 1601 there is no FILETIME; far beyond 30828 none either.
    const int64_t first = -FILETIME_UNIX_EPOCH / 10000000;
    const int64_t last = (INT64_MAX - FILETIME_UNIX_EPOCH) / 10000000 - 1;
    if (seconds < first) return 0;
    if (seconds > last) seconds = last;
    return (uint64_t)(seconds * 10000000 + FILETIME_UNIX_EPOCH) + nanoseconds / 100;
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
}

static struct {
    int fd;
    uint32_t fill;
    uint32_t position;
    bool no_statx;  // the kernel has no statx: fstatat, and no birth times
    alignas(8) char block[65536];
} g_listing = {-1, 0, 0, false, {0}};

// Attributes, size and times of one listed name, never through a link.
static void stat_entry(const char* name, PlatformSourceEntry* e) {
    if (!g_listing.no_statx) {
        struct statx sx;
        int r = SYS(SYS_STATX, statx(g_listing.fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                                     STATX_BASIC_STATS | STATX_BTIME, &sx));
        if (r == 0) {
            describe_entry(e, sx.stx_mode, sx.stx_size);
            e->write_time = filetime_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
            e->access_time = filetime_of(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
            // Without a birth time the last write is the earliest time known.
            e->creation_time = (sx.stx_mask & STATX_BTIME) ? filetime_of(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                                                           : e->write_time;
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
    e->write_time = filetime_of(st.st_mtim.tv_sec, (uint32_t)st.st_mtim.tv_nsec);
    e->access_time = filetime_of(st.st_atim.tv_sec, (uint32_t)st.st_atim.tv_nsec);
    e->creation_time = e->write_time;
}

PlatformHandle platform_open_source_root(const char* argument, const WideChar*) {
    return to_handle(open_keeping_atime(AT_FDCWD, argument, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

PlatformHandle platform_open_source_directory(PlatformHandle parent, const WideChar* name, const WideChar*) {
    const char* n = source_name(name);
    if (!n || parent == PLATFORM_NO_HANDLE) return PLATFORM_NO_HANDLE;
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
        size_t length = strlen(name);
        if (length >= PLATFORM_NAME_BYTES) length = PLATFORM_NAME_BYTES - 1;
        memcpy(out->raw_name, name, length);
        out->name_is_unicode = strict_utf8_to_utf16(name, out->name, PLATFORM_NAME_UNITS, &out->name_units);
        // A name the archive cannot carry is not looked at any further.
        if (out->name_is_unicode) stat_entry(name, out);
        return 1;
    }
}

void platform_list_end() { g_listing.fd = -1; }

PlatformHandle platform_open_source_file(PlatformHandle parent, const WideChar* name, const WideChar*) {
    const char* n = source_name(name);
    if (!n || parent == PLATFORM_NO_HANDLE) return PLATFORM_NO_HANDLE;
    // Non-blocking: should a FIFO take the file's place, opening it must not
    // wait for a writer.
    return to_handle(open_keeping_atime(to_fd(parent), n, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

uint32_t platform_read_source(PlatformHandle h, void* buffer, uint32_t count, uint32_t* error) {
    *error = 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = SYS(SYS_READ, read(to_fd(h), (char*)buffer + done, count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) *error = (uint32_t)errno;
        if (n <= 0) break;
        done += (uint32_t)n;
    }
    return done;
}

bool platform_file_identity(PlatformHandle h, uint64_t* volume, uint64_t* index) {
    struct stat st;
    if (h == PLATFORM_NO_HANDLE || SYS(SYS_FSTAT, fstat(to_fd(h), &st)) != 0) return false;
    *volume = (uint64_t)st.st_dev;
    *index = (uint64_t)st.st_ino;
    return true;
}

int64_t platform_send_file(PlatformHandle from, PlatformHandle to, uint64_t count) {
    return kernel_copy(SYS_SENDFILE, from, to, count);
}
