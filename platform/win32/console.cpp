// The standard streams.
#include "platform/win32/backend.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

uint32_t platform_init_console() {
    // A closed standard output has no handle; the C runtime's descriptor 1
    // then refuses every write.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == NULL || out == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : 0;
}

bool platform_is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

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
