// The standard streams.
#include "platform/win32/backend.h"

#include <io.h>
#include <stdio.h>

void platform_init_console() {}

bool platform_is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }
