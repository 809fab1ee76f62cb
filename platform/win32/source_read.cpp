// Reading the packer's source tree: directories listed by FindFirstFileExW,
// files read without moving their access times.
#include <string.h>
#include <wchar.h>

#include "platform/win32/backend.h"

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

// Times past the largest signed FILETIME (30828) cannot be set again: they
// become that one, and *faults says so.
static uint64_t storable(const FILETIME& f, uint32_t* faults) {
    uint64_t t = filetime_value(f);
    if (t <= (uint64_t)INT64_MAX) return t;
    *faults |= PLATFORM_TIME_TOO_LATE;
    return (uint64_t)INT64_MAX;
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

// What an opened child really is, where the listing could not tell: Wine
// lists a Unix link as what it leads to (only a link to a directory shows as
// a reparse point), and a FIFO or a device as a file. The name the handle
// got tells a link from its target, the file type a stream from a file.
// Returns the handle, or closes it and says what it found.
static PlatformHandle checked(PlatformHandle parent, const WideChar* name, HANDLE h, bool directory, uint32_t* found) {
    if (h == INVALID_HANDLE_VALUE || h == NULL) return PLATFORM_NO_HANDLE;
    SetLastError(NO_ERROR);
    DWORD type = directory ? (DWORD)FILE_TYPE_DISK : injected(SYS_GETFILETYPE) ? (DWORD)FILE_TYPE_UNKNOWN
                                                                               : GetFileType(h);
    DWORD error = type == FILE_TYPE_UNKNOWN ? GetLastError() : NO_ERROR;
    if (error != NO_ERROR) {
    } else if (!opened_in_place(to_win(parent), h, name)) {
        *found = PLATFORM_ENTRY_LINK;
    } else if (type != FILE_TYPE_DISK) {
        *found = type == FILE_TYPE_PIPE ? PLATFORM_ENTRY_FIFO : PLATFORM_ENTRY_DEVICE;
    } else {
        return to_handle(h);
    }
    CloseHandle(h);
    SetLastError(error);
    return PLATFORM_NO_HANDLE;
}

PlatformHandle platform_open_source_directory(PlatformHandle parent, const WideChar* name, const WideChar* path,
                                              uint32_t* found) {
    HANDLE h = create_file((const WCHAR*)path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    return checked(parent, name, h, true, found);
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
        out->creation_time = storable(f.ftCreationTime, &out->time_faults);
        out->write_time = storable(f.ftLastWriteTime, &out->time_faults);
        out->access_time = storable(f.ftLastAccessTime, &out->time_faults);
        // The find data has no change time: the state is completed once the
        // file is open.
        out->state.size = out->size;
        out->state.write_stamp = filetime_value(f.ftLastWriteTime);
        return 1;
    }
}

void platform_list_end() {
    if (g_listing.search != INVALID_HANDLE_VALUE) FindClose(g_listing.search);
    g_listing.search = INVALID_HANDLE_VALUE;
    g_listing.pending = false;
}

int32_t platform_read_link(PlatformHandle, const WideChar*, const WideChar*, char*, uint32_t) {
    // The listing's links and junctions stay apart: reading a reparse
    // point's target is left to a later version.
    return -2;
}

PlatformHandle platform_open_source_file(PlatformHandle parent, const WideChar* name, const WideChar* path,
                                         uint32_t* found) {
    PlatformHandle h = open_source_handle(path, FILE_FLAG_SEQUENTIAL_SCAN);
    // The archive being written, inside the tree: known by its identity,
    // and left out.
    if (h == PLATFORM_NO_HANDLE) {
        DWORD error = GetLastError();
        HANDLE own = reopen_output_temporary(path);
        if (own) return to_handle(own);
        SetLastError(error);
    }
    return checked(parent, name, to_win(h), false, found);
}

void platform_release_source(PlatformHandle h) { platform_close(h); }

void platform_release_sources() {}

bool platform_file_state(PlatformHandle h, PlatformFileState* out) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_GETFILEINFORMATIONBYHANDLEEX) ||
        !GetFileInformationByHandleEx(to_win(h), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(to_win(h), FileStandardInfo, &standard, sizeof standard))
        return false;
    out->size = (uint64_t)standard.EndOfFile.QuadPart;
    out->write_stamp = (uint64_t)basic.LastWriteTime.QuadPart;
    out->change_stamp = (uint64_t)basic.ChangeTime.QuadPart;
    out->change_known = true;
    return true;
}

int64_t platform_send_file(PlatformHandle, PlatformHandle, uint64_t) {
    return -1;  // TransmitFile sends to sockets only
}
