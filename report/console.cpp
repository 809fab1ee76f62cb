#include "report/console.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

static bool g_stdout_is_terminal;
// The error of the first write to standard output that failed (a reader
// that went away, a full device, a closed stream); 0 while it works. From
// then on nothing more is written to it: the walk goes on without its
// listing, and the run ends by saying what was lost.
static uint32_t g_stdout_error;

void console_init() {
    g_stdout_error = platform_init_console();
    g_stdout_is_terminal = platform_is_terminal(stdout);
    // Off a terminal nobody watches the lines appear: gather them into large
    // writes. On a terminal every line must show the moment it is printed.
    static char out_buffer[65536];
    if (!g_stdout_is_terminal) setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
}

// `result` is what the last call on stdout returned; negative on failure.
static void check_stdout(int result) {
    if (result >= 0 && !ferror(stdout)) return;
    g_stdout_error = platform_output_error();
    platform_discard_output(stdout);
}

void console_out(const char* format, ...) {
    if (g_stdout_error) return;
    va_list args;
    va_start(args, format);
    int result = vfprintf(stdout, format, args);
    va_end(args);
    if (g_stdout_is_terminal && result >= 0) result = fflush(stdout);
    check_stdout(result);
}

void console_err(const char* format, ...) {
    // Whatever stdout holds was printed first; keep it first.
    if (!g_stdout_error) check_stdout(fflush(stdout));
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

uint32_t console_finish() {
    if (!g_stdout_error) check_stdout(fflush(stdout));
    return g_stdout_error;
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
