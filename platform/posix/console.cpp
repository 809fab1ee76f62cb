// The standard streams.
#include <stdio.h>
#include <unistd.h>

#include "platform/posix/backend.h"

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }
