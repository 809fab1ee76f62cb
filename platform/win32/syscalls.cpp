// The system call table, the errors the logic recognises, and closing a
// handle of any kind and telling which file it is.
#include <string.h>

#include "platform/win32/backend.h"

SyscallSlot g_syscalls[SYS_COUNT] = {
    {"CreateFileW", 0, 0},
    {"ReadFile", 0, 0},
    {"WriteFile", 0, 0},
    {"SetFilePointer", 0, 0},
    {"GetFileSizeEx", 0, 0},
    {"NtCreateFile", 0, 0},
    {"GetFileAttributesW", 0, 0},
    {"SetFileTime", 0, 0},
    {"SetFileInformationByHandle", 0, 0},
    {"GetFileInformationByHandle", 0, 0},
    {"GetFileInformationByHandleEx", 0, 0},
    {"GetFileType", 0, 0},
    {"NtQueryInformationFile", 0, 0},
    {"FindFirstFileExW", 0, 0},
    {"FindNextFileW", 0, 0},
    {"CloseHandle", 0, 0},
    // packing
    {"MoveFileExW", 0, 0},
    {"DeleteFileW", 0, 0},
    {"ReplaceFileW", 0, 0},
    {"FlushFileBuffers", 0, 0},
    // the console
    {"WriteConsoleW", 0, 0},
    // symbolic links
    {"CreateSymbolicLinkW", 0, 0},
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

uint32_t platform_error_already_exists() { return ERROR_ALREADY_EXISTS; }
uint32_t platform_error_access_denied() { return ERROR_ACCESS_DENIED; }
uint32_t platform_error_path_not_found() { return ERROR_PATH_NOT_FOUND; }
uint32_t platform_error_not_a_file() { return ERROR_NOT_SUPPORTED; }

uint32_t platform_last_error() { return GetLastError(); }

// The system's message in the user's language, allocated by the system (free
// it with LocalFree); null when there is none.
static WCHAR* system_message(uint32_t code) {
    WCHAR* text = NULL;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             NULL, code, 0x400, (LPWSTR)&text, 0, NULL);
    if (n == 0 && text != NULL) {
        LocalFree(text);
        text = NULL;
    }
    return text;
}

uint32_t platform_error_text(uint32_t code, char* out, uint32_t capacity) {
    WCHAR* text = system_message(code);
    if (text == NULL) return 0;
    int bytes = WideCharToMultiByte(CP_OEMCP, 0, text, -1, out, (int)capacity, NULL, NULL);
    LocalFree(text);
    if (bytes <= 1) return 0;
    return (uint32_t)bytes - 1;
}

uint32_t platform_error_text_utf16(uint32_t code, WideChar* out, uint32_t capacity) {
    WCHAR* text = system_message(code);
    if (text == NULL) return 0;
    uint32_t n = (uint32_t)lstrlenW(text);
    if (capacity == 0) n = 0;
    else if (n >= capacity) n = capacity - 1;
    memcpy(out, text, n * sizeof(WCHAR));
    if (capacity) out[n] = 0;
    LocalFree(text);
    return n;
}

HANDLE create_file(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (injected(SYS_CREATEFILEW)) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, access, share, NULL, disposition, flags, NULL);
}

bool platform_close(PlatformHandle h) {
    return h == PLATFORM_NO_HANDLE || (!injected(SYS_CLOSEHANDLE) && CloseHandle(to_win(h)));
}

// Asked of the extractor's archive and of the packer's output and sources
// alike, so it lives with what every program links.
bool platform_file_identity(PlatformHandle h, uint64_t* volume, uint64_t* index) {
    BY_HANDLE_FILE_INFORMATION info;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_GETFILEINFORMATIONBYHANDLE) ||
        !GetFileInformationByHandle(to_win(h), &info))
        return false;
    *volume = file_volume(info);
    *index = file_index(info);
    return true;
}
