// The standard streams.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/backend.h"

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// --- The packer's output to standard output -----------------------------------

PlatformHandle platform_output_standard(PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    target->kind = PLATFORM_TARGET_STREAM;
    if (isatty(STDOUT_FILENO) == 1) {
        errno = ENOTTY;  // not a place for an archive, whatever the call says
        return PLATFORM_NO_HANDLE;
    }
    g_output.standard = true;
    // Redirected into a file of the tree, that file is left out of the walk.
    struct stat st;
    if (SYS(SYS_FSTAT, fstat(STDOUT_FILENO, &st)) == 0 && S_ISREG(st.st_mode)) {
        target->volume[0] = (uint64_t)st.st_dev;
        target->index[0] = (uint64_t)st.st_ino;
        target->left_out = 1;
    }
    return to_handle(STDOUT_FILENO);
}
