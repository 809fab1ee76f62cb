#include "report/console.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

static bool g_stdout_is_terminal;

void console_init() {
    platform_init_console();
    g_stdout_is_terminal = platform_is_terminal(stdout);
    // Off a terminal nobody watches the lines appear: gather them into large
    // writes. On a terminal every line must show the moment it is printed.
    static char out_buffer[65536];
    if (!g_stdout_is_terminal) setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
}

void console_out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    if (g_stdout_is_terminal) fflush(stdout);
}

void console_err(const char* format, ...) {
    // Whatever stdout holds was printed first; keep it first.
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

void console_finish() {
    fflush(stdout);
}

const char* error_text(uint32_t code, char* out, uint32_t capacity) {
    uint32_t length = platform_error_text(code, out, capacity);
    for (uint32_t i = 0; i < length; i++)
        if ((unsigned char)out[i] < 0x20) out[i] = ' ';
    while (length > 0 && out[length - 1] == ' ') out[--length] = 0;
    if (length == 0) {
        char digits[24];
        snprintf(out, capacity, "system error %s", format_i64(code, digits));
    }
    return out;
}

const char* format_i64(int64_t value, char buffer[24]) {
    char* p = buffer + 23;
    *p = 0;
    uint64_t magnitude = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
    do {
        *--p = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0) *--p = '-';
    return p;
}
