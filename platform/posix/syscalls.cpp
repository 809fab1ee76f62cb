// The system call table, the errors the logic recognises, and closing a
// handle of any kind and telling which file it is.
#include <string.h>
#include <unistd.h>

#include "platform/posix/backend.h"

SyscallSlot g_syscalls[SYS_COUNT] = {
    {"open", 0, 0},
    {"openat", 0, 0},
    {"read", 0, 0},
    {"write", 0, 0},
    {"lseek", 0, 0},
    {"fstat", 0, 0},
    {"fstatat", 0, 0},
    {"mkdirat", 0, 0},
    {"futimens", 0, 0},
    {"fchmod", 0, 0},
    {"copy_file_range", 0, 0},
    {"close", 0, 0},
    {"unlinkat", 0, 0},
    {"getdents64", 0, 0},
    {"nanosleep", 0, 0},
    {"prlimit", 0, 0},
    {"fcntl", 0, 0},
    // packing
    {"statx", 0, 0},
    {"sendfile", 0, 0},
    {"renameat", 0, 0},
    {"close_range", 0, 0},
    {"faccessat", 0, 0},
    {"readlinkat", 0, 0},
    {"fchown", 0, 0},
    {"linkat", 0, 0},
    {"fdatasync", 0, 0},
    {"fsync", 0, 0},
    {"syncfs", 0, 0},
    // symbolic links
    {"symlinkat", 0, 0},
    {"utimensat", 0, 0},
};

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
uint32_t platform_error_path_not_found() { return ENOENT; }
uint32_t platform_error_not_a_file() { return ESPIPE; }

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

uint32_t platform_error_text_utf16(uint32_t code, WideChar* out, uint32_t capacity) {
    char text[256];
    if (platform_error_text(code, text, sizeof text) == 0) return 0;
    uint32_t units = system_bytes_to_utf16(text, out, capacity);
    return units ? units - 1 : 0;
}

bool platform_close(PlatformHandle h) {
    return h == PLATFORM_NO_HANDLE || SYS(SYS_CLOSE, close(to_fd(h))) == 0;
}

// Asked of the extractor's archive and of the packer's output and sources
// alike, so it lives with what every program links.
bool platform_file_identity(PlatformHandle h, uint64_t* volume, uint64_t* index) {
    struct stat st;
    if (h == PLATFORM_NO_HANDLE || SYS(SYS_FSTAT, fstat(to_fd(h), &st)) != 0) return false;
    *volume = file_volume(st);
    *index = file_index(st);
    return true;
}
