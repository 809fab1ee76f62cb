// The standard streams.
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/backend.h"

// Standard output was closed when the process started: what now stands
// in its place is the null device, no place for an archive.
static bool g_stdout_closed;

uint32_t platform_init_console() {
    uint32_t stdout_error = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (SYS(SYS_FCNTL, fcntl(fd, F_GETFD)) >= 0 || errno != EBADF) continue;
        if (fd == 1) stdout_error = EBADF;
        // The lower ones are open, so the null device lands on this number.
        SYS(SYS_OPEN, open("/dev/null", O_RDWR));
    }
    g_stdout_closed = stdout_error != 0;
    return stdout_error;
}

bool platform_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// A terminal here takes bytes, the same as a file.
bool platform_terminal_takes_utf16() { return false; }

bool platform_write_terminal(FILE* stream, const WideChar* text, uint32_t units) {
    // In pieces, never splitting a surrogate pair.
    enum { PIECE = 256 };
    WideChar piece[PIECE + 1];
    char bytes[PIECE * 3 + 1];
    while (units > 0) {
        uint32_t n = units < (uint32_t)PIECE ? units : (uint32_t)PIECE;
        if (n < units && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) n--;
        memcpy(piece, text, n * sizeof(WideChar));
        piece[n] = 0;
        uint32_t length = utf16_to_utf8(piece, bytes, sizeof bytes, false);
        if (length == 0 || fwrite(bytes, 1, length - 1, stream) != length - 1) return false;
        text += n;
        units -= n;
    }
    return fflush(stream) == 0;
}

uint32_t platform_terminal_width(FILE* stream) {
    struct winsize size;
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void platform_terminal_clear_row(FILE* stream) {
    // To the row's start, then erase to its end: every terminal since the
    // VT100 knows the sequence.
    (void)fputs("\r\033[K", stream);
    (void)fflush(stream);
}

uint32_t platform_output_error() { return errno ? (uint32_t)errno : EIO; }

void platform_discard_output(FILE* stream) { __fpurge(stream); }

// --- The packer's output to standard output -----------------------------------

PlatformHandle platform_output_standard(PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    target->kind = PLATFORM_TARGET_STREAM;
    if (g_stdout_closed) {
        errno = EBADF;
        return PLATFORM_NO_HANDLE;
    }
    if (isatty(STDOUT_FILENO) == 1) {
        errno = ENOTTY;  // not a place for an archive, whatever the call says
        return PLATFORM_NO_HANDLE;
    }
    g_output.standard = true;
    // Redirected into a file of the tree, that file is left out of the walk.
    struct stat st;
    if (SYS(SYS_FSTAT, fstat(STDOUT_FILENO, &st)) == 0 && S_ISREG(st.st_mode)) {
        target->volume[0] = file_volume(st);
        target->index[0] = file_index(st);
        target->left_out = 1;
    }
    return to_handle(STDOUT_FILENO);
}
