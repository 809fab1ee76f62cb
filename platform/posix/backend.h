// What the files of the POSIX backend share: the system call table, handles,
// the path conversions and long paths for the *at calls. Only files of
// platform/posix/ include this.
#ifndef UNTREE_PLATFORM_POSIX_BACKEND_H
#define UNTREE_PLATFORM_POSIX_BACKEND_H

#include <errno.h>
#include <stdint.h>

#include "platform/platform.h"

// --- The system call table ---------------------------------------------------
// Every call of the backend goes through it, so a test can make the nth one
// fail (platform_inject_fault).

enum SyscallId {
    SYS_OPEN, SYS_OPENAT, SYS_READ, SYS_WRITE, SYS_LSEEK, SYS_FSTAT, SYS_FSTATAT, SYS_MKDIRAT,
    SYS_FUTIMENS, SYS_FCHMOD, SYS_COPY_FILE_RANGE, SYS_CLOSE, SYS_FTRUNCATE, SYS_UNLINKAT, SYS_GETDENTS64,
    SYS_NANOSLEEP, SYS_PRLIMIT,
    // packing
    SYS_STATX, SYS_SENDFILE, SYS_RENAMEAT,
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

// --- Paths (text.cpp) --------------------------------------------------------

enum { KERNEL_PATH_BYTES = PLATFORM_WIDE_PATH_UNITS * 3 + 1 };

// UTF-16 to UTF-8: a surrogate pair becomes one four-byte sequence; a lone
// surrogate keeps its own three bytes so that no name is lost. With
// kernel_form every backslash becomes a slash. Returns the bytes written
// with the terminator, 0 when they do not fit.
uint32_t utf16_to_utf8(const WideChar* w, char* out, uint32_t capacity, bool kernel_form);
// A path in the extractor's form as the kernel takes it, in a buffer of the
// backend's; null when it does not fit.
const char* kernel_path(const WideChar* path);
extern char g_kernel_path[KERNEL_PATH_BYTES];

// --- Paths the *at calls can take (tree_write.cpp) ---------------------------

// A directory descriptor and the rest of the path, shorter than PATH_MAX.
struct AtPath {
    int dirfd;
    const char* rest;
    bool owned;  // dirfd was opened for this path and is closed with it
};

bool at_path(const WideChar* path, AtPath* out);
void release_at(AtPath* p);

// The two in-kernel copies share one loop (tree_write.cpp).
int64_t kernel_copy(SyscallId id, PlatformHandle from, PlatformHandle to, uint64_t count);

// FILETIME counts 100 ns from 1601-01-01; the Unix epoch is 11644473600 s later.
static const int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;

#endif
