// Writing the tree: directories and files created, filled and stamped, and
// the packer's own output file.
#include "platform/win32/backend.h"

#include <string.h>
#include <wchar.h>

// --- Directories and files ---------------------------------------------------

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

// --- The packer's output -------------------------------------------------------
// An existing ARCHIVE is opened for writing first: that is the system's own
// test of whether the user may write it, tells a device from a file, and
// leads through links to the file that gets replaced.

OutputFile g_output;

void remove_output_temporary() {
    if (g_output.temporary_exists) DeleteFileW(g_output.temporary);
}

static void forget_output() {
    g_output.temporary_exists = 0;
    g_output.standard = false;
    g_output.replacing = false;
    g_output.temporary[0] = 0;
}

// The temporary file's path: ARCHIVE's final path with its name cut (never
// between the two halves of a surrogate pair) so that the suffix fits 255
// units.
static bool temporary_path(uint32_t attempt) {
    WCHAR suffix[40];
    if (attempt == 0) wsprintfW(suffix, L".partial-%u", (unsigned)GetCurrentProcessId());
    else wsprintfW(suffix, L".partial-%u-%u", (unsigned)GetCurrentProcessId(), (unsigned)attempt);
    size_t length = wcslen(g_output.final_path), suffix_length = wcslen(suffix);
    size_t name = length;
    while (name > 0 && g_output.final_path[name - 1] != '\\' && g_output.final_path[name - 1] != '/') name--;
    size_t keep = length - name, room = 255 - suffix_length;
    if (keep > room) {
        keep = room;
        if (g_output.final_path[name + keep] >= 0xDC00 && g_output.final_path[name + keep] <= 0xDFFF) keep--;
    }
    if (name + keep + suffix_length + 1 > PLATFORM_WIDE_PATH_UNITS) return false;
    memcpy(g_output.temporary, g_output.final_path, (name + keep) * sizeof(WCHAR));
    memcpy(g_output.temporary + name + keep, suffix, (suffix_length + 1) * sizeof(WCHAR));
    return true;
}

PlatformHandle platform_output_open(const WideChar* path, PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    forget_output();
    size_t n = wcslen((const WCHAR*)path);
    if (n + 1 > PLATFORM_WIDE_PATH_UNITS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return PLATFORM_NO_HANDLE;
    }
    memcpy(g_output.final_path, path, (n + 1) * sizeof(WCHAR));
    DWORD a = injected(SYS_GETFILEATTRIBUTESW) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(g_output.final_path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        target->kind = PLATFORM_TARGET_DIRECTORY;
        SetLastError(ERROR_DIRECTORY);
        return PLATFORM_NO_HANDLE;
    }
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = create_file(g_output.final_path, GENERIC_WRITE, share, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND) return PLATFORM_NO_HANDLE;
        target->kind = PLATFORM_TARGET_NEW;
    } else if (GetFileType(h) != FILE_TYPE_DISK) {
        target->kind = PLATFORM_TARGET_STREAM;  // NUL, a serial port, a named pipe
        return to_handle(h);
    } else {
        target->kind = PLATFORM_TARGET_REPLACED;
        g_output.replacing = true;
        BY_HANDLE_FILE_INFORMATION info;
        if (!injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(h, &info)) {
            target->volume[target->left_out] = info.dwVolumeSerialNumber;
            target->index[target->left_out++] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        }
        // Through a link, the file it leads to is the one replaced.
        DWORD got = GetFinalPathNameByHandleW(h, g_output.final_path, PLATFORM_WIDE_PATH_UNITS,
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0 || got >= PLATFORM_WIDE_PATH_UNITS) memcpy(g_output.final_path, path, (n + 1) * sizeof(WCHAR));
        CloseHandle(h);
    }
    HANDLE t = INVALID_HANDLE_VALUE;
    for (uint32_t attempt = 0; attempt < 100 && t == INVALID_HANDLE_VALUE; attempt++) {
        if (!temporary_path(attempt)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return PLATFORM_NO_HANDLE;
        }
        t = create_file(g_output.temporary, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW, 0);
        if (t == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return PLATFORM_NO_HANDLE;
    }
    if (t == INVALID_HANDLE_VALUE) return PLATFORM_NO_HANDLE;
    InterlockedExchange(&g_output.temporary_exists, 1);
    BY_HANDLE_FILE_INFORMATION info;
    if (!injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(t, &info)) {
        target->volume[target->left_out] = info.dwVolumeSerialNumber;
        target->index[target->left_out++] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    }
    return to_handle(t);
}

bool platform_output_commit(PlatformHandle h) {
    if (!g_output.temporary_exists) {
        bool closed = g_output.standard || injected(SYS_CLOSEHANDLE) || CloseHandle(to_win(h));
        forget_output();
        return closed;
    }
    if (injected(SYS_CLOSEHANDLE) || !CloseHandle(to_win(h))) {
        DWORD e = GetLastError();
        remove_output_temporary();
        forget_output();
        SetLastError(e);
        return false;
    }
    // ReplaceFileW keeps the replaced file's attributes and security; a
    // file that is gone by now is simply taken the place of.
    bool placed = false;
    if (g_output.replacing) {
        placed = !injected(SYS_REPLACEFILEW) &&
                 ReplaceFileW(g_output.final_path, g_output.temporary, NULL, REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL);
    }
    if (!placed && (!g_output.replacing || GetLastError() == ERROR_FILE_NOT_FOUND))
        placed = !injected(SYS_MOVEFILEEXW) && MoveFileExW(g_output.temporary, g_output.final_path, MOVEFILE_REPLACE_EXISTING);
    DWORD e = GetLastError();
    if (placed) InterlockedExchange(&g_output.temporary_exists, 0);
    else remove_output_temporary();
    forget_output();
    SetLastError(e);
    return placed;
}

bool platform_output_discard(PlatformHandle h) {
    if (!g_output.standard && h != PLATFORM_NO_HANDLE && !injected(SYS_CLOSEHANDLE)) CloseHandle(to_win(h));
    bool removed = !g_output.temporary_exists || (!injected(SYS_DELETEFILEW) && DeleteFileW(g_output.temporary));
    DWORD e = GetLastError();
    if (removed) forget_output();
    SetLastError(e);
    return removed;
}

uint32_t platform_output_temporary_name(char* out, uint32_t capacity) {
    int n = WideCharToMultiByte(CP_UTF8, 0, g_output.temporary, -1, out, (int)capacity, NULL, NULL);
    return n > 1 ? (uint32_t)n - 1 : 0;
}
