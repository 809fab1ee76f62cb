// The standard streams.
#include "platform/win32/backend.h"

#include <io.h>
#include <stdio.h>

void platform_init_console() {}

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
