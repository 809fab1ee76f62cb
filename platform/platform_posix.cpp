// POSIX backend: what the extractor expects of the Windows file services,
// done with Linux system calls. Paths arrive as UTF-16 in the extractor's
// form ("\\?\" prefix, backslash separators) and leave as UTF-8 with slashes.
// Paths beyond PATH_MAX are reached by opening successive prefixes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "platform/platform.h"

// --- The system call table ---------------------------------------------------
// Every call below goes through here, so a test can make the nth one fail.

enum SyscallId {
    SYS_OPEN, SYS_OPENAT, SYS_READ, SYS_WRITE, SYS_LSEEK, SYS_FSTAT, SYS_FSTATAT, SYS_MKDIRAT,
    SYS_FUTIMENS, SYS_FCHMODAT, SYS_COPY_FILE_RANGE, SYS_CLOSE,
    // packing
    SYS_GETDENTS64, SYS_STATX, SYS_SENDFILE, SYS_RENAMEAT, SYS_UNLINKAT,
    SYS_COUNT
};

struct SyscallSlot {
    const char* name;
    uint32_t countdown;  // fails when this reaches 0 from 1; 0 means no fault
    uint32_t error;
};

static SyscallSlot g_syscalls[SYS_COUNT] = {
    {"open", 0, 0},     {"openat", 0, 0},  {"read", 0, 0},     {"write", 0, 0},
    {"lseek", 0, 0},    {"fstat", 0, 0},   {"fstatat", 0, 0},  {"mkdirat", 0, 0},
    {"futimens", 0, 0}, {"fchmodat", 0, 0}, {"copy_file_range", 0, 0}, {"close", 0, 0},
    // packing
    {"getdents64", 0, 0}, {"statx", 0, 0}, {"sendfile", 0, 0}, {"renameat", 0, 0},
    {"unlinkat", 0, 0},
};

static bool injected(SyscallId id) {
    SyscallSlot* s = &g_syscalls[id];
    if (s->countdown == 0 || --s->countdown != 0) return false;
    errno = (int)s->error;
    return true;
}

#define SYS(id, call) (injected(id) ? -1 : (call))

bool platform_inject_fault(const char* call_name, uint32_t nth, uint32_t error) {
    for (int i = 0; i < SYS_COUNT; i++)
        if (strcmp(g_syscalls[i].name, call_name) == 0) {
            g_syscalls[i].countdown = nth;
            g_syscalls[i].error = error;
            return true;
        }
    return false;
}

void platform_clear_faults() {
    for (int i = 0; i < SYS_COUNT; i++) g_syscalls[i].countdown = 0;
}

uint32_t platform_error_already_exists() { return EEXIST; }
uint32_t platform_error_access_denied() { return EACCES; }

// --- Handles -------------------------------------------------------------------
// A handle is a descriptor plus one, so that 0 can mean "none".

static PlatformHandle to_handle(int fd) { return fd < 0 ? (PlatformHandle)PLATFORM_NO_HANDLE : (PlatformHandle)fd + 1; }
static int to_fd(PlatformHandle h) { return (int)h - 1; }

// --- Paths ---------------------------------------------------------------------

enum { KERNEL_PATH_BYTES = PLATFORM_WIDE_PATH_UNITS * 3 + 1 };
static char g_kernel_path[KERNEL_PATH_BYTES];

// UTF-16 to UTF-8: a surrogate pair becomes one four-byte sequence; a lone
// surrogate keeps its own three bytes so that no name is lost.
static uint32_t utf16_to_utf8(const WideChar* w, char* out, uint32_t capacity, bool kernel_form) {
    uint32_t at = 0;
    for (; *w; w++) {
        uint32_t c = *w;
        if (c >= 0xD800 && c <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[1] - 0xDC00);
            w++;
        }
        if (kernel_form && c == '\\') c = '/';
        char b[4];
        uint32_t n;
        if (c < 0x80) {
            b[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            b[0] = (char)(0xC0 | (c >> 6));
            b[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            b[0] = (char)(0xE0 | (c >> 12));
            b[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        } else {
            b[0] = (char)(0xF0 | (c >> 18));
            b[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[3] = (char)(0x80 | (c & 0x3F));
            n = 4;
        }
        if (at + n + 1 > capacity) return 0;
        memcpy(out + at, b, n);
        at += n;
    }
    out[at] = 0;
    return at + 1;
}

static const char* kernel_path(const WideChar* path) {
    if (path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\') path += 4;
    if (utf16_to_utf8(path, g_kernel_path, KERNEL_PATH_BYTES, true) == 0) return 0;
    return g_kernel_path;
}

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

static void release_held(int fd) {
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

// A path the *at calls can take: a directory descriptor and the rest, shorter
// than PATH_MAX. Long paths are walked by opening prefixes that fit.
struct AtPath {
    int dirfd;
    const char* rest;
    bool owned;  // dirfd was opened for this path and is closed with it
};

static void release(AtPath* p) {
    if (p->owned) SYS(SYS_CLOSE, close(p->dirfd));
    p->owned = false;
}

static bool at_path(const WideChar* path, AtPath* out) {
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

static void release_at(AtPath* p) {
    if (p->owned) {
        int e = errno;
        SYS(SYS_CLOSE, close(p->dirfd));
        errno = e;
    }
}

// --- Process -------------------------------------------------------------------

void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv) {
    *out_argc = argc;
    *out_argv = argv;
}

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// --- Archive reading -------------------------------------------------------

PlatformHandle platform_open_read(const char* utf8_path) {
    return to_handle(SYS(SYS_OPEN, open(utf8_path, O_RDONLY | O_CLOEXEC)));
}

uint32_t platform_read(PlatformHandle h, void* buffer, uint32_t count) {
    if (h == PLATFORM_NO_HANDLE) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = SYS(SYS_READ, read(to_fd(h), (char*)buffer + done, count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (uint32_t)n;
    }
    return done;
}

bool platform_seek_from_end(PlatformHandle h, int64_t distance) {
    if (h == PLATFORM_NO_HANDLE) return false;
    return SYS(SYS_LSEEK, lseek(to_fd(h), (off_t)distance, SEEK_END)) >= 0;
}

bool platform_skip_forward(PlatformHandle h, uint64_t distance) {
    if (h == PLATFORM_NO_HANDLE || distance > (uint64_t)INT64_MAX) return false;
    return SYS(SYS_LSEEK, lseek(to_fd(h), (off_t)distance, SEEK_CUR)) >= 0;
}

uint64_t platform_file_size(PlatformHandle h) {
    struct stat st;
    if (h == PLATFORM_NO_HANDLE || SYS(SYS_FSTAT, fstat(to_fd(h), &st)) != 0) return 0;
    return (uint64_t)st.st_size;
}

void platform_close(PlatformHandle h) {
    if (h == PLATFORM_NO_HANDLE) return;
    if (g_held.count) release_held(to_fd(h));
    SYS(SYS_CLOSE, close(to_fd(h)));
}

// --- Tree writing ----------------------------------------------------------

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
static int64_t kernel_copy(SyscallId id, PlatformHandle from, PlatformHandle to, uint64_t count) {
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

// FILETIME counts 100 ns from 1601-01-01; the Unix epoch is 11644473600 s later.
static const int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

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

// --- Errors ----------------------------------------------------------------

uint32_t platform_last_error() { return (uint32_t)errno; }

uint32_t platform_error_text(uint32_t code, char* out, uint32_t capacity) {
    if (capacity == 0) return 0;
    char buffer[256];
    const char* text = strerror_r((int)code, buffer, sizeof buffer);
    if (!text || !*text) return 0;
    size_t n = strlen(text);
    if (n >= capacity) n = capacity - 1;
    memcpy(out, text, n);
    out[n] = 0;
    return (uint32_t)n;
}

// --- Text ------------------------------------------------------------------

uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity) {
    const uint8_t* s = (const uint8_t*)text;
    uint32_t at = 0;
    for (;;) {
        uint32_t c = *s;
        uint32_t extra = 0;
        if (c < 0x80) extra = 0;
        else if (c >= 0xC2 && c <= 0xDF) c &= 0x1F, extra = 1;
        else if (c >= 0xE0 && c <= 0xEF) c &= 0x0F, extra = 2;
        else if (c >= 0xF0 && c <= 0xF4) c &= 0x07, extra = 3;
        else return 0;  // not the locale's UTF-8
        s++;
        for (uint32_t i = 0; i < extra; i++, s++) {
            if ((*s & 0xC0) != 0x80) return 0;
            c = (c << 6) | (*s & 0x3F);
        }
        if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) return 0;
        if (c >= 0x10000) {
            if (at + 2 > capacity) return 0;
            out[at++] = (WideChar)(0xD800 + ((c - 0x10000) >> 10));
            out[at++] = (WideChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            if (at + 1 > capacity) return 0;
            out[at++] = (WideChar)c;
        }
        if (c == 0) return at;
    }
}

uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity) {
    // Lexical, like GetFullPathNameW: against the current directory, "." and
    // ".." folded, no link resolved.
    static char joined[KERNEL_PATH_BYTES + PATH_MAX + 2];
    char relative[KERNEL_PATH_BYTES];
    if (utf16_to_utf8(path, relative, sizeof relative, false) == 0) return 0;
    if (relative[0] == 0) return 0;
    size_t at = 0;
    if (relative[0] != '/') {
        if (!getcwd(joined, PATH_MAX)) return 0;
        at = strlen(joined);
        joined[at++] = '/';
    }
    size_t rl = strlen(relative);
    memcpy(joined + at, relative, rl + 1);

    // Fold in place into `folded`.
    static char folded[sizeof joined];
    size_t f = 0;
    const char* s = joined;
    while (*s) {
        while (*s == '/') s++;
        const char* end = s;
        while (*end && *end != '/') end++;
        size_t len = (size_t)(end - s);
        if (len == 0) break;
        if (len == 1 && s[0] == '.') {
        } else if (len == 2 && s[0] == '.' && s[1] == '.') {
            while (f > 0 && folded[f - 1] != '/') f--;
            if (f > 0) f--;
        } else {
            folded[f++] = '/';
            memcpy(folded + f, s, len);
            f += len;
        }
        s = end;
    }
    if (f == 0) folded[f++] = '/';
    folded[f] = 0;
    uint32_t units = platform_argument_to_wide(folded, out, capacity);
    if (units == 0) {
        // Either not UTF-8 or too long: tell the size it would need.
        return f + 1 > capacity ? (uint32_t)(f + 1) : 0;
    }
    return units - 1;
}

uint32_t platform_wide_to_utf8(const WideChar* text, char* out, uint32_t capacity) {
    return utf16_to_utf8(text, out, capacity, false);
}

WideChar platform_foreign_separator() { return '\\'; }

// --- Time ------------------------------------------------------------------

uint32_t platform_tick_count() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

uint64_t platform_cycle_counter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    // A counter of similar rate where the processor has no time-stamp counter.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
#endif
}

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

PlatformHandle platform_create_new_file(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return PLATFORM_NO_HANDLE;
    int fd = SYS(SYS_OPENAT, openat(p.dirfd, p.rest, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    release_at(&p);
    return to_handle(fd);
}

bool platform_replace_file(const WideChar* from, const WideChar* to) {
    // Both paths go through the one conversion buffer: keep the first apart.
    static char from_rest[KERNEL_PATH_BYTES];
    AtPath f, t;
    if (!at_path(from, &f)) return false;
    strcpy(from_rest, f.rest);
    if (!at_path(to, &t)) {
        release_at(&f);
        return false;
    }
    int r = SYS(SYS_RENAMEAT, renameat(f.dirfd, from_rest, t.dirfd, t.rest));
    release_at(&t);
    release_at(&f);
    return r == 0;
}

bool platform_delete_file(const WideChar* path) {
    AtPath p;
    if (!at_path(path, &p)) return false;
    int r = SYS(SYS_UNLINKAT, unlinkat(p.dirfd, p.rest, 0));
    release_at(&p);
    return r == 0;
}

uint32_t platform_process_id() { return (uint32_t)getpid(); }

char platform_path_separator() { return '/'; }
