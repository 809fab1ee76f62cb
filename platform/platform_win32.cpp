// Win32 backend: the Windows file services the extractor was designed around,
// called with the arguments it relies on. Kept parallel to the POSIX backend:
// the same operations in the same order.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <intrin.h>
#include <io.h>
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

// --- The system call table ---------------------------------------------------
// Every call below goes through here, so a test can make the nth one fail.

enum SyscallId {
    SYS_CREATEFILEW, SYS_READFILE, SYS_WRITEFILE, SYS_SETFILEPOINTER, SYS_GETFILESIZEEX,
    SYS_CREATEDIRECTORYW, SYS_GETFILEATTRIBUTESW, SYS_SETFILETIME, SYS_SETFILEATTRIBUTESW,
    SYS_CLOSEHANDLE, SYS_COUNT
};

struct SyscallSlot {
    const char* name;
    uint32_t countdown;  // fails when this reaches 0 from 1; 0 means no fault
    uint32_t error;
};

static SyscallSlot g_syscalls[SYS_COUNT] = {
    {"CreateFileW", 0, 0},       {"ReadFile", 0, 0},           {"WriteFile", 0, 0},
    {"SetFilePointer", 0, 0},    {"GetFileSizeEx", 0, 0},      {"CreateDirectoryW", 0, 0},
    {"GetFileAttributesW", 0, 0}, {"SetFileTime", 0, 0},       {"SetFileAttributesW", 0, 0},
    {"CloseHandle", 0, 0},
};

static bool injected(SyscallId id) {
    SyscallSlot* s = &g_syscalls[id];
    if (s->countdown == 0 || --s->countdown != 0) return false;
    SetLastError(s->error);
    return true;
}

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

uint32_t platform_error_already_exists() { return ERROR_ALREADY_EXISTS; }
uint32_t platform_error_access_denied() { return ERROR_ACCESS_DENIED; }

// --- Handles -------------------------------------------------------------------
// INVALID_HANDLE_VALUE and null both become "none".

static PlatformHandle to_handle(HANDLE h) {
    return (h == INVALID_HANDLE_VALUE || h == NULL) ? (PlatformHandle)PLATFORM_NO_HANDLE : (PlatformHandle)h;
}
static HANDLE to_win(PlatformHandle h) { return (HANDLE)h; }

static HANDLE create_file(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (injected(SYS_CREATEFILEW)) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, access, share, NULL, disposition, flags, NULL);
}

// --- Process -------------------------------------------------------------------

void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv) {
    // The narrow argument list is in the ANSI code page and loses what it
    // cannot show; the wide command line has every character.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) {
        *out_argc = argc;
        *out_argv = argv;
        return;
    }
    char** utf8 = (char**)calloc((size_t)count + 1, sizeof(char*));
    for (int i = 0; i < count; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, NULL, 0, NULL, NULL);
        utf8[i] = (char*)malloc(n > 0 ? (size_t)n : 1);
        if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], n, NULL, NULL) == 0) utf8[i][0] = 0;
    }
    LocalFree(wide);
    *out_argc = count;
    *out_argv = utf8;
}

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

// --- Archive reading -------------------------------------------------------

PlatformHandle platform_open_read(const char* utf8_path) {
    static WCHAR wide[PLATFORM_WIDE_PATH_UNITS];
    if (MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, wide, PLATFORM_WIDE_PATH_UNITS) == 0) return PLATFORM_NO_HANDLE;
    return to_handle(create_file(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, 0));
}

uint32_t platform_read(PlatformHandle h, void* buffer, uint32_t count) {
    DWORD n = 0;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_READFILE)) return 0;
    ReadFile(to_win(h), buffer, count, &n, NULL);
    return n;
}

bool platform_seek_from_end(PlatformHandle h, int64_t distance) {
    if (h == PLATFORM_NO_HANDLE || injected(SYS_SETFILEPOINTER)) return false;
    LONG high = (LONG)(distance >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(to_win(h), (LONG)(distance & 0xFFFFFFFF), &high, FILE_END);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool platform_skip_forward(PlatformHandle h, uint64_t distance) {
    if (h == PLATFORM_NO_HANDLE || distance > (uint64_t)INT64_MAX || injected(SYS_SETFILEPOINTER)) return false;
    LARGE_INTEGER move;
    move.QuadPart = (LONGLONG)distance;
    return SetFilePointerEx(to_win(h), move, NULL, FILE_CURRENT) != 0;
}

uint64_t platform_file_size(PlatformHandle h) {
    LARGE_INTEGER size;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_GETFILESIZEEX) || !GetFileSizeEx(to_win(h), &size)) return 0;
    return (uint64_t)size.QuadPart;
}

void platform_close(PlatformHandle h) {
    if (h != PLATFORM_NO_HANDLE && !injected(SYS_CLOSEHANDLE)) CloseHandle(to_win(h));
}

// --- Tree writing ----------------------------------------------------------

bool platform_create_directory(const WideChar* path) {
    if (injected(SYS_CREATEDIRECTORYW)) return false;
    return CreateDirectoryW((const WCHAR*)path, NULL) != 0;
}

bool platform_is_directory(const WideChar* path) {
    if (injected(SYS_GETFILEATTRIBUTESW)) return false;
    DWORD a = GetFileAttributesW((const WCHAR*)path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

PlatformHandle platform_create_file(const WideChar* path) {
    return to_handle(create_file((const WCHAR*)path, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, CREATE_ALWAYS, 0));
}

uint32_t platform_write(PlatformHandle h, const void* buffer, uint32_t count) {
    DWORD n = 0;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_WRITEFILE)) return 0;
    WriteFile(to_win(h), buffer, count, &n, NULL);
    return n;
}

int64_t platform_copy_in_kernel(PlatformHandle, PlatformHandle, uint64_t) {
    return -1;  // no such copy between two open handles; the window serves
}

PlatformHandle platform_open_directory(const WideChar* path) {
    return to_handle(create_file((const WCHAR*)path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
}

static FILETIME to_filetime(uint64_t t) {
    FILETIME f;
    f.dwLowDateTime = (DWORD)t;
    f.dwHighDateTime = (DWORD)(t >> 32);
    return f;
}

void platform_set_times(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write) {
    if (h == PLATFORM_NO_HANDLE || injected(SYS_SETFILETIME)) return;
    FILETIME c = to_filetime(creation), a = to_filetime(access), w = to_filetime(write);
    SetFileTime(to_win(h), &c, &a, &w);
}

void platform_set_attributes(const WideChar* path, uint32_t attributes, bool) {
    if (injected(SYS_SETFILEATTRIBUTESW)) return;
    SetFileAttributesW((const WCHAR*)path, attributes);
}

// --- Errors ----------------------------------------------------------------

uint32_t platform_last_error() { return GetLastError(); }

uint32_t platform_error_text(uint32_t code, char* out, uint32_t capacity) {
    WCHAR* text = NULL;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             NULL, code, 0x400, (LPWSTR)&text, 0, NULL);
    if (n == 0 || text == NULL) return 0;
    int bytes = WideCharToMultiByte(CP_OEMCP, 0, text, -1, out, (int)capacity, NULL, NULL);
    LocalFree(text);
    if (bytes <= 1) return 0;
    return (uint32_t)bytes - 1;
}

// --- Text ------------------------------------------------------------------

uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, (WCHAR*)out, (int)capacity);
    return n > 0 ? (uint32_t)n : 0;
}

uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity) {
    return GetFullPathNameW((const WCHAR*)path, capacity, (WCHAR*)out, NULL);
}

uint32_t platform_wide_to_utf8(const WideChar* text, char* out, uint32_t capacity) {
    int n = WideCharToMultiByte(CP_UTF8, 0, (const WCHAR*)text, -1, out, (int)capacity, NULL, NULL);
    return n > 0 ? (uint32_t)n : 0;
}

WideChar platform_foreign_separator() { return 0; }

// --- Time ------------------------------------------------------------------

uint32_t platform_tick_count() { return GetTickCount(); }

uint64_t platform_cycle_counter() { return __rdtsc(); }
