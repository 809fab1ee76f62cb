// The standard streams.
#include "platform/win32/backend.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

uint32_t platform_init_console() {
    // A closed standard output has no handle; the C runtime's descriptor 1
    // then refuses every write.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == NULL || out == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : 0;
}

static HANDLE stream_handle(FILE* stream) { return (HANDLE)_get_osfhandle(_fileno(stream)); }

// A console, not any character device: NUL is one of those too, and nobody
// watches it.
bool platform_is_terminal(FILE* stream) {
    DWORD mode;
    return GetConsoleMode(stream_handle(stream), &mode) != 0;
}

// Bytes written to a console are read in its code page, which no name's
// UTF-8 survives; its own characters are UTF-16.
bool platform_terminal_takes_utf16() { return true; }

bool platform_write_terminal(FILE* stream, const WideChar* text, uint32_t units) {
    HANDLE console = stream_handle(stream);
    while (units > 0) {
        DWORD written = 0;
        if (injected(SYS_WRITECONSOLEW) || !WriteConsoleW(console, (const WCHAR*)text, units, &written, NULL) ||
            written == 0)
            return false;
        text += written;
        units -= written;
    }
    return true;
}

uint32_t platform_terminal_width(FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(stream_handle(stream), &info) || info.dwSize.X <= 0) return 0;
    return (uint32_t)info.dwSize.X;
}

void platform_terminal_clear_row(FILE* stream) {
    // A console wraps at its buffer's width: that whole row is blanked.
    HANDLE console = stream_handle(stream);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info)) return;
    COORD start = {0, info.dwCursorPosition.Y};
    DWORD written;
    FillConsoleOutputCharacterW(console, L' ', (DWORD)info.dwSize.X, start, &written);
    SetConsoleCursorPosition(console, start);
}

uint32_t platform_output_error() {
    // The C runtime keeps the system's code of a failed write beside errno.
    if (_doserrno) return (uint32_t)_doserrno;
    return errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_WRITE_FAULT;
}

void platform_discard_output(FILE* stream) {
    // What the runtime still holds would be written once more at exit: it
    // goes to the null device instead.
    int null_fd = _open("NUL", _O_WRONLY);
    if (null_fd < 0) return;
    _dup2(null_fd, _fileno(stream));
    _close(null_fd);
}

// --- The packer's output to standard output -----------------------------------

PlatformHandle platform_output_standard(PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    target->kind = PLATFORM_TARGET_STREAM;
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (h == INVALID_HANDLE_VALUE || h == NULL || GetConsoleMode(h, &mode)) {
        SetLastError(ERROR_INVALID_HANDLE);  // a console is no place for an archive
        return PLATFORM_NO_HANDLE;
    }
    g_output.standard = true;
    // Redirected into a file of the tree, that file is left out of the walk.
    if (GetFileType(h) == FILE_TYPE_DISK && platform_file_identity(to_handle(h), &target->volume[0], &target->index[0]))
        target->left_out = 1;
    return to_handle(h);
}
