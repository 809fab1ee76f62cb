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
    SYS_CLOSEHANDLE,
    // packing
    SYS_FINDFIRSTFILEEXW, SYS_FINDNEXTFILEW, SYS_GETFILEINFORMATIONBYHANDLE, SYS_MOVEFILEEXW,
    SYS_DELETEFILEW,
    SYS_COUNT
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
    // packing
    {"FindFirstFileExW", 0, 0}, {"FindNextFileW", 0, 0}, {"GetFileInformationByHandle", 0, 0},
    {"MoveFileExW", 0, 0},       {"DeleteFileW", 0, 0},
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

PathKind platform_path_kind(const WideChar* path) {
    if (injected(SYS_GETFILEATTRIBUTESW)) return PATH_MISSING;
    DWORD a = GetFileAttributesW((const WCHAR*)path);
    if (a == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
    // A junction or directory link would lead what goes inside elsewhere.
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PATH_LINK;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PATH_DIRECTORY : PATH_OTHER;
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

// --- Packing -------------------------------------------------------------------
// The source is reached by full path with the long-path prefix, the form the
// caller builds. Directories are listed by FindFirstFileExW, whose find data
// already carries everything the archive records of an entry. A file is read
// through a handle whose access-time updates are switched off (SetFileTime
// with all bits set), so the packer's reads do not move the time it records.

static PlatformHandle open_source_handle(const WideChar* path, DWORD flags) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // Switching the updates off needs the right to write attributes; without
    // it the file is still read.
    HANDLE h = create_file((const WCHAR*)path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, share, OPEN_EXISTING, flags);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_ACCESS_DENIED) return PLATFORM_NO_HANDLE;
        return to_handle(create_file((const WCHAR*)path, GENERIC_READ, share, OPEN_EXISTING, flags));
    }
    FILETIME keep;
    keep.dwLowDateTime = 0xFFFFFFFF;
    keep.dwHighDateTime = 0xFFFFFFFF;
    if (!injected(SYS_SETFILETIME)) SetFileTime(h, NULL, &keep, NULL);
    return to_handle(h);
}

static uint64_t filetime_value(const FILETIME& f) {
    return ((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime;
}

static struct {
    HANDLE search;
    bool pending;  // the entry FindFirstFileExW found is still to be handed out
    WIN32_FIND_DATAW found;
    WCHAR pattern[PLATFORM_WIDE_PATH_UNITS + 2];
} g_listing = {INVALID_HANDLE_VALUE, false, {}, {0}};

PlatformHandle platform_open_source_root(const char*, const WideChar* path) {
    HANDLE h = create_file((const WCHAR*)path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return PLATFORM_NO_HANDLE;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = !injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(h, &info);
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return to_handle(h);
    DWORD error = known ? (DWORD)ERROR_DIRECTORY : GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return PLATFORM_NO_HANDLE;
}

PlatformHandle platform_open_source_directory(PlatformHandle, const WideChar*, const WideChar* path) {
    return to_handle(create_file((const WCHAR*)path, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
}

bool platform_list_begin(PlatformHandle, const WideChar* path) {
    size_t n = wcslen((const WCHAR*)path);
    if (n + 3 > sizeof g_listing.pattern / sizeof(WCHAR)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(g_listing.pattern, path, n * sizeof(WCHAR));
    g_listing.pattern[n] = '\\';
    g_listing.pattern[n + 1] = '*';
    g_listing.pattern[n + 2] = 0;
    g_listing.pending = false;
    g_listing.search = INVALID_HANDLE_VALUE;
    if (!injected(SYS_FINDFIRSTFILEEXW))
        g_listing.search = FindFirstFileExW(g_listing.pattern, FindExInfoBasic, &g_listing.found,
                                            FindExSearchNameMatch, NULL, FIND_FIRST_EX_LARGE_FETCH);
    if (g_listing.search != INVALID_HANDLE_VALUE) {
        g_listing.pending = true;
        return true;
    }
    // An empty drive root has not even "." to find.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

int platform_list_next(PlatformSourceEntry* out) {
    for (;;) {
        if (!g_listing.pending) {
            if (g_listing.search == INVALID_HANDLE_VALUE) return 0;
            if (injected(SYS_FINDNEXTFILEW) || !FindNextFileW(g_listing.search, &g_listing.found))
                return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
        }
        g_listing.pending = false;
        const WIN32_FIND_DATAW& f = g_listing.found;
        const WCHAR* name = f.cFileName;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;

        memset(out, 0, sizeof *out);
        size_t units = wcslen(name);
        if (units >= PLATFORM_NAME_UNITS) units = PLATFORM_NAME_UNITS - 1;
        memcpy(out->name, name, units * sizeof(WCHAR));
        out->name_units = (uint32_t)units;
        out->name_is_unicode = true;
        DWORD a = f.dwFileAttributes;
        // Symbolic links, junctions and the like stand for another name.
        if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && (f.dwReserved0 & 0x20000000))
            out->kind = PLATFORM_ENTRY_LINK;
        else if (a & FILE_ATTRIBUTE_DIRECTORY)
            out->kind = PLATFORM_ENTRY_DIRECTORY;
        else
            out->kind = PLATFORM_ENTRY_FILE;
        out->attributes = (uint16_t)a;
        if (out->kind == PLATFORM_ENTRY_FILE) out->size = ((uint64_t)f.nFileSizeHigh << 32) | f.nFileSizeLow;
        out->creation_time = filetime_value(f.ftCreationTime);
        out->write_time = filetime_value(f.ftLastWriteTime);
        out->access_time = filetime_value(f.ftLastAccessTime);
        return 1;
    }
}

void platform_list_end() {
    if (g_listing.search != INVALID_HANDLE_VALUE) FindClose(g_listing.search);
    g_listing.search = INVALID_HANDLE_VALUE;
    g_listing.pending = false;
}

PlatformHandle platform_open_source_file(PlatformHandle, const WideChar*, const WideChar* path) {
    return open_source_handle(path, FILE_FLAG_SEQUENTIAL_SCAN);
}

uint32_t platform_read_source(PlatformHandle h, void* buffer, uint32_t count, uint32_t* error) {
    *error = 0;
    DWORD n = 0;
    if (injected(SYS_READFILE) || !ReadFile(to_win(h), buffer, count, &n, NULL)) *error = GetLastError();
    return n;
}

bool platform_file_identity(PlatformHandle h, uint64_t* volume, uint64_t* index) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_GETFILEINFORMATIONBYHANDLE) ||
        !GetFileInformationByHandle(to_win(h), &info))
        return false;
    *volume = info.dwVolumeSerialNumber;
    *index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

int64_t platform_send_file(PlatformHandle, PlatformHandle, uint64_t) {
    return -1;  // TransmitFile sends to sockets only
}

PlatformHandle platform_create_new_file(const WideChar* path) {
    return to_handle(create_file((const WCHAR*)path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, 0));
}

bool platform_replace_file(const WideChar* from, const WideChar* to) {
    if (injected(SYS_MOVEFILEEXW)) return false;
    return MoveFileExW((const WCHAR*)from, (const WCHAR*)to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool platform_delete_file(const WideChar* path) {
    if (injected(SYS_DELETEFILEW)) return false;
    return DeleteFileW((const WCHAR*)path) != 0;
}

uint32_t platform_process_id() { return GetCurrentProcessId(); }

char platform_path_separator() { return '\\'; }
