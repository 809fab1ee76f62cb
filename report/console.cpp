#include "report/console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "archive/format.h"
#include "report/escape.h"

enum {
    NAME_BYTES = 65536,                      // a path or name, its terminator included
    SHOWN_BYTES = 4 * NAME_BYTES,            // the same escaped
    LINE_BYTES = SHOWN_BYTES + 32768 + 256,  // a report line: path, system message, the rest
    UTF16_PIECE = 4096,
};

static struct {
    bool terminal[2];
    bool utf16[2];
    bool status_shown;  // a status line stands on standard output's terminal row
} g_console;

// The error of the first write to standard output that failed (a reader
// that went away, a full device, a closed stream); 0 while it works. From
// then on nothing more is written to it: the walk goes on without its
// listing, and the run ends by saying what was lost.
static uint32_t g_stdout_error;

static FILE* stream_of(ConsoleStream stream) { return stream == CONSOLE_OUT ? stdout : stderr; }

void console_init() {
    g_stdout_error = platform_init_console();
    for (int s = CONSOLE_OUT; s <= CONSOLE_ERR; s++) {
        g_console.terminal[s] = platform_is_terminal(stream_of((ConsoleStream)s));
        g_console.utf16[s] = g_console.terminal[s] && platform_terminal_takes_utf16();
    }
    // Off a terminal nobody watches the lines appear: gather them into large
    // writes. On a terminal every line must show the moment it is printed.
    static char out_buffer[65536];
    if (!g_console.terminal[CONSOLE_OUT]) (void)setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
}

uint32_t console_text_to_utf16(const char* text, uint32_t length, WideChar* out, uint32_t capacity, uint32_t* used) {
    const uint8_t* s = (const uint8_t*)text;
    uint32_t i = 0, units = 0;
    while (i < length) {
        if (s[i] == '\n') {
            // What a text stream makes of a line feed.
            if (units + 2 > capacity) break;
            out[units++] = '\r';
            out[units++] = '\n';
            i++;
            continue;
        }
        // One character: its first byte and the continuation bytes after it,
        // which never decode to more units than they are bytes.
        uint32_t n = 1;
        while (i + n < length && (s[i + n] & 0xC0) == 0x80) n++;
        if (units + n > capacity) break;
        // Names reach this as their surrogates' three bytes each; a text
        // joined into ordinary UTF-8 (untree-list's lines) has four.
        uint16_t pair[2];
        if (n == 4 && utf8_to_surrogates(s + i, pair)) {
            out[units++] = pair[0];
            out[units++] = pair[1];
            i += n;
            continue;
        }
        units += decode_cesu8(s + i, n, out + units, capacity - units);
        i += n;
    }
    *used = i;
    return units;
}

static int write_utf16(FILE* stream, const char* format, va_list args) {
    static char line[LINE_BYTES];
    static WideChar piece[UTF16_PIECE];
    int n = vsnprintf(line, sizeof line, format, args);
    if (n < 0) return n;
    uint32_t length = (uint32_t)n < sizeof line ? (uint32_t)n : (uint32_t)sizeof line - 1;
    for (uint32_t at = 0; at < length;) {
        uint32_t used;
        uint32_t units = console_text_to_utf16(line + at, length - at, piece, UTF16_PIECE, &used);
        if (used == 0 || !platform_write_terminal(stream, piece, units)) return -1;
        at += used;
    }
    return n;
}

// Every line reaches its stream here. Negative when the stream refused it.
static int write_line(ConsoleStream s, const char* format, va_list args) {
    FILE* stream = stream_of(s);
    if (g_console.utf16[s]) return write_utf16(stream, format, args);
    int result = vfprintf(stream, format, args);
    if (g_console.terminal[s] && result >= 0) result = fflush(stream);
    return result;
}

// A line about to go to `s` after a status line on the terminal: it clears
// the row first, when `s` is a terminal too. Text that starts with a line
// feed moves below the row and leaves the status line standing.
static void leave_status_row(ConsoleStream s, const char* format) {
    if (!g_console.status_shown || !g_console.terminal[s]) return;
    g_console.status_shown = false;
    if (format[0] != '\n') platform_terminal_clear_row(stdout);
}

// `result` is what the last call on stdout returned; negative on failure.
static void check_stdout(int result) {
    if (result >= 0 && !ferror(stdout)) return;
    g_stdout_error = platform_output_error();
    platform_discard_output(stdout);
}

void console_out(const char* format, ...) {
    if (g_stdout_error) return;
    leave_status_row(CONSOLE_OUT, format);
    va_list args;
    va_start(args, format);
    int result = write_line(CONSOLE_OUT, format, args);
    va_end(args);
    check_stdout(result);
}

void console_out_listing(const char* name, uint32_t length, int order) {
    if (g_stdout_error) return;
    const char* tail = order < 0 ? " -1\n" : order > 0 ? " 1\n"
                                                       : " 0\n";
    if (g_console.terminal[CONSOLE_OUT] || strlen(name) != length) {
        console_out("%s%s", console_name(CONSOLE_OUT, name, length), tail);
        return;
    }
    // One line per entry, hundreds of thousands of them: not through the
    // format parser.
    int result = fputs(name, stdout);
    if (result >= 0) result = fputs(tail, stdout);
    check_stdout(result);
}

void console_err(const char* format, ...) {
    // Whatever stdout holds was printed first; keep it first.
    if (!g_stdout_error) check_stdout(fflush(stdout));
    leave_status_row(CONSOLE_ERR, format);
    va_list args;
    va_start(args, format);
    write_line(CONSOLE_ERR, format, args);
    va_end(args);
    (void)fflush(stderr);
}

void console_status(const char* text) {
    if (g_stdout_error) return;
    if (!g_console.terminal[CONSOLE_OUT]) {
        console_out("%-78s\r", text);
        return;
    }
    // The last column stays free: a console moves to the next row as soon
    // as it is written, and the carriage return would then leave the line
    // behind on a row of its own.
    char line[256];
    (void)snprintf(line, sizeof line, "%-78s", text);
    uint32_t width = console_status_width();
    if (width > 0 && strlen(line) > width) line[width] = 0;
    console_out("%s\r", line);
    g_console.status_shown = !g_stdout_error;
}

uint32_t console_status_width() {
    uint32_t width = platform_terminal_width(stdout);
    return width > 0 ? width - 1 : 0;
}

void console_status_clear() { leave_status_row(CONSOLE_OUT, ""); }

uint32_t console_finish() {
    if (!g_stdout_error) check_stdout(fflush(stdout));
    return g_stdout_error;
}

const char* console_name(ConsoleStream stream, const char* name, uint32_t length) {
    bool terminal = g_console.terminal[stream];
    if (!terminal && strlen(name) == length) return name;
    static char shown[SHOWN_BYTES];
    escape_name(name, length, terminal ? ESCAPE_FOR_TERMINAL : ESCAPE_NUL, shown, sizeof shown);
    return shown;
}

bool console_is_terminal(ConsoleStream stream) { return g_console.terminal[stream]; }

bool console_takes_utf16(ConsoleStream stream) { return g_console.utf16[stream]; }

// The system's text for a console that takes UTF-16 comes as UTF-16 and
// joins the line in the names' own encoding; anywhere else it is in the
// console's code page, as the system gives it for bytes.
static uint32_t message_for(uint32_t code, char* out, uint32_t capacity) {
    if (!console_takes_utf16(CONSOLE_ERR)) return platform_error_text(code, out, capacity);
    static WideChar units[32768 / 3];
    uint32_t room = capacity / 3 < sizeof units / sizeof units[0] ? capacity / 3 : sizeof units / sizeof units[0];
    if (room == 0) return 0;
    uint32_t n = platform_error_text_utf16(code, units, room);
    uint32_t length = encode_cesu8(units, n, (uint8_t*)out);
    out[length] = 0;
    return length;
}

uint32_t fit_one_line(char* text, uint32_t length, bool trim) {
    for (uint32_t i = 0; i < length; i++)
        if ((unsigned char)text[i] < 0x20) text[i] = ' ';
    while (trim && length > 0 && text[length - 1] == ' ') text[--length] = 0;
    return length;
}

const char* error_text(uint32_t code, char* out, uint32_t capacity, bool trim) {
    uint32_t length = fit_one_line(out, message_for(code, out, capacity), trim);
    if (length == 0) {
        char digits[24];
        (void)snprintf(out, capacity, "system error %s", format_i64(code, digits));
    }
    return out;
}

const char* format_u64(uint64_t value, char buffer[24]) {
    char* p = buffer + 23;
    *p = 0;
    do {
        *--p = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    return p;
}

const char* format_i64(int64_t value, char buffer[24]) {
    char* p = (char*)format_u64(value < 0 ? 0 - (uint64_t)value : (uint64_t)value, buffer);
    if (value < 0) *--p = '-';
    return p;
}
