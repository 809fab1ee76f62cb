// The standard streams.
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <unistd.h>

#include "platform/posix/backend.h"

uint32_t platform_init_console() {
    uint32_t stdout_error = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (SYS(SYS_FCNTL, fcntl(fd, F_GETFD)) >= 0 || errno != EBADF) continue;
        if (fd == 1) stdout_error = EBADF;
        // The lower ones are open, so the null device lands on this number.
        SYS(SYS_OPEN, open("/dev/null", O_RDWR));
    }
    return stdout_error;
}

bool platform_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

uint32_t platform_output_error() { return errno ? (uint32_t)errno : EIO; }

void platform_discard_output(FILE* stream) { __fpurge(stream); }
