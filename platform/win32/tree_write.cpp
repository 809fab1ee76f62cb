// Writing the tree: directories and files created, filled and stamped, and
// the packer's own output file.
#include "platform/win32/backend.h"

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
