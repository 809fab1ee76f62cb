// What the files of the POSIX backend share: the system call table, handles,
// the path conversions and long paths for the *at calls. Only files of
// platform/posix/ include this.
#ifndef UNTREE_PLATFORM_POSIX_BACKEND_H
#define UNTREE_PLATFORM_POSIX_BACKEND_H

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/platform.h"

// --- The system call table ---------------------------------------------------
// Every call of the backend goes through it, so a test can make the nth one
// fail (platform_inject_fault).

enum SyscallId {
    SYS_OPEN,
    SYS_OPENAT,
    SYS_READ,
    SYS_WRITE,
    SYS_LSEEK,
    SYS_FSTAT,
    SYS_FSTATAT,
    SYS_MKDIRAT,
    SYS_FUTIMENS,
    SYS_FCHMOD,
    SYS_COPY_FILE_RANGE,
    SYS_CLOSE,
    SYS_UNLINKAT,
    SYS_GETDENTS64,
    SYS_NANOSLEEP,
    SYS_PRLIMIT,
    SYS_FCNTL,
    // packing
    SYS_STATX,
    SYS_SENDFILE,
    SYS_RENAMEAT,
    SYS_CLOSE_RANGE,
    SYS_FACCESSAT,
    SYS_READLINKAT,
    SYS_FCHOWN,
    SYS_LINKAT,
    SYS_FDATASYNC,
    SYS_FSYNC,
    SYS_SYNCFS,
    // symbolic links
    SYS_SYMLINKAT,
    SYS_UTIMENSAT,
    SYS_COUNT
};

struct SyscallSlot {
    const char* name;
    uint32_t countdown;  // fails when this reaches 0 from 1; 0 means no fault
    uint32_t error;
};

extern SyscallSlot g_syscalls[SYS_COUNT];

inline bool injected(SyscallId id) {
    SyscallSlot* s = &g_syscalls[id];
    if (s->countdown == 0 || --s->countdown != 0) return false;
    errno = (int)s->error;
    return true;
}

#define SYS(id, call) (injected(id) ? -1 : (call))

// --- Handles -----------------------------------------------------------------
// A handle is a descriptor plus one, so that 0 can mean "none".

inline PlatformHandle to_handle(int fd) {
    return fd < 0 ? (PlatformHandle)PLATFORM_NO_HANDLE : (PlatformHandle)fd + 1;
}
inline int to_fd(PlatformHandle h) { return (int)h - 1; }

// --- File identity -------------------------------------------------------------
// What platform_file_identity tells, taken from a status already at hand.

inline uint64_t file_volume(const struct stat& st) { return (uint64_t)st.st_dev; }
inline uint64_t file_index(const struct stat& st) { return (uint64_t)st.st_ino; }
inline bool same_file(const struct stat& a, const struct stat& b) {
    return file_volume(a) == file_volume(b) && file_index(a) == file_index(b);
}

// --- Paths (text.cpp) --------------------------------------------------------

enum { KERNEL_PATH_BYTES = PLATFORM_WIDE_PATH_UNITS * 3 + 1 };

// UTF-16 to UTF-8: a surrogate pair becomes one four-byte sequence; a lone
// surrogate keeps its own three bytes so that no name is lost. With
// kernel_form every backslash becomes a slash. Returns the bytes written
// with the terminator, 0 when they do not fit.
uint32_t utf16_to_utf8(const WideChar* w, char* out, uint32_t capacity, bool kernel_form);
// The system's text back to its bytes: as utf16_to_utf8, except that a lone
// U+DC80..U+DCFF is the byte it stands for (system_bytes_to_utf16).
uint32_t utf16_to_system_bytes(const WideChar* w, char* out, uint32_t capacity, bool kernel_form);
// The system's bytes (NUL-terminated) to UTF-16, terminator included: strict
// UTF-8 decoded (no overlong form, no encoded surrogate, nothing beyond
// U+10FFFF, nothing cut short), every other byte b carried as the lone unit
// U+DC00 + b, which no well-formed text gives. Returns the units written, 0
// when they do not fit; out then holds the characters that did, terminated.
// *well_formed, when asked for, says whether the whole text was UTF-8.
uint32_t system_bytes_to_utf16(const char* text, WideChar* out, uint32_t capacity, bool* well_formed = 0);
// The backend's conversion buffer for a name on its way to the kernel.
extern char g_kernel_path[KERNEL_PATH_BYTES];

// --- Paths the *at calls can take (tree_write.cpp) ---------------------------

// A directory descriptor and the rest of the path, shorter than PATH_MAX.
struct AtPath {
    int dirfd;
    const char* rest;
    bool owned;  // dirfd was opened for this path and is closed with it
};

// A path the user gave on the command line (SOURCE_DIR, DESTINATION,
// ARCHIVE), as the kernel means it: the bytes as typed, relative to the
// working directory, every ".." taken from where the names before it led,
// links included. One longer than PATH_MAX is opened a part at a time, each
// part from the directory the one before reached. False, with errno set,
// when a part cannot be reached.
bool at_path(const char* path, AtPath* out);
void release_at(AtPath* p);

// The two in-kernel copies share one loop (tree_write.cpp).
int64_t kernel_copy(SyscallId id, PlatformHandle from, PlatformHandle to, uint64_t count);

// --- The packer's output (tree_write.cpp) -------------------------------------
// Kept where a signal handler can reach it: the handler removes the
// temporary file with one unlinkat on names prepared before the walk.

enum { OUTPUT_NAME_BYTES = 256 };  // NAME_MAX and its terminator

struct OutputFile {
    int directory;                           // where ARCHIVE's final target lies (O_PATH), -1 when none
    char name[OUTPUT_NAME_BYTES];            // that target's name in it
    char temporary[OUTPUT_NAME_BYTES];       // the temporary file's name beside it, once it has one
    volatile sig_atomic_t temporary_exists;  // the temporary file has that name now
    bool unnamed;                            // an O_TMPFILE file: no name until it is whole
    bool standard;                           // the process's standard output: never closed
    bool replacing;                          // carry the replaced file's mode, owner and group over
    uint32_t mode, owner, group;
    uint32_t temporary_owner, temporary_group;
};

extern OutputFile g_output;
// Async-signal-safe.
void remove_output_temporary();
// Holds back every signal that would end the process while the temporary
// file gets or changes its name (process.cpp), so that none finds it named
// but not yet known, or known by a name it no longer has.
void hold_interruptions(bool hold);

// FILETIME counts 100 ns from 1601-01-01; the Unix epoch is 11644473600 s later.
static const int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

// A FILETIME as the kernel keeps times, to the nanosecond.
inline struct timespec filetime_to_timespec(uint64_t filetime) {
    // Times before 1970 are negative; divide towards minus infinity.
    int64_t since_epoch = (int64_t)(filetime - (uint64_t)FILETIME_UNIX_EPOCH);
    int64_t seconds = since_epoch / 10000000;
    int64_t rest = since_epoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds--;
    }
    struct timespec ts;
    ts.tv_sec = (time_t)seconds;
    ts.tv_nsec = (long)(rest * 100);
    return ts;
}

#endif
