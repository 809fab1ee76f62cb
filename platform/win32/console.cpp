// The standard streams.
#include "platform/win32/backend.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

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
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) == FILE_TYPE_DISK && !injected(SYS_GETFILEINFORMATIONBYHANDLE) &&
        GetFileInformationByHandle(h, &info)) {
        target->volume[0] = info.dwVolumeSerialNumber;
        target->index[0] = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        target->left_out = 1;
    }
    return to_handle(h);
}
