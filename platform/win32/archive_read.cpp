// Reading the archive: three handles on one file, each moved on its own.
#include "platform/win32/backend.h"

PlatformHandle platform_open_read(const char* utf8_path) {
    static WCHAR wide[PLATFORM_WIDE_PATH_UNITS];
    if (MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, wide, PLATFORM_WIDE_PATH_UNITS) == 0) return PLATFORM_NO_HANDLE;
    HANDLE h = create_file(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE || h == NULL) return PLATFORM_NO_HANDLE;
    // Only a file on a disk: a pipe, a console or a device has no end to
    // read from.
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = !injected(SYS_GETFILETYPE) && GetFileType(h) == FILE_TYPE_DISK &&
                   !injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(h, &info) &&
                   !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!regular) {
        platform_close((PlatformHandle)h);
        SetLastError(ERROR_NOT_SUPPORTED);
        return PLATFORM_NO_HANDLE;
    }
    return (PlatformHandle)h;
}

uint32_t platform_read(PlatformHandle h, void* buffer, uint32_t count, uint32_t* error) {
    *error = 0;
    DWORD n = 0;
    if (h == PLATFORM_NO_HANDLE) return 0;
    if (injected(SYS_READFILE) || !ReadFile(to_win(h), buffer, count, &n, NULL)) *error = GetLastError();
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
