// Standard output and standard error, kept in the order they were written
// even when both go to one file or pipe, and live on a terminal.
//
// A terminal shows what it is given, so a name written there goes through
// console_name first: it is shown, not obeyed. A file or pipe gets every
// byte as it is, since scripts read them, but for a NUL, which no line can
// carry: that shows as \x00 everywhere.
#ifndef UNTREE_REPORT_CONSOLE_H
#define UNTREE_REPORT_CONSOLE_H

#include <stdint.h>

#include "platform/platform.h"

enum ConsoleStream { CONSOLE_OUT,
                     CONSOLE_ERR };

void console_init();
void console_out(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The listing line of one entry, "NAME ORDER" (ORDER -1, 0 or 1), with the
// name (`length` bytes) shown as console_name shows it.
void console_out_listing(const char* name, uint32_t length, int order);
void console_err(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The status line, "TEXT" padded to 78 columns and a carriage return, so
// that what comes next starts on its row. On a terminal it is cut to the
// row's width (a line that wrapped would leave an orphan row each time), and
// what comes next on that terminal clears the row first, so that no tail of
// the status line stays after a shorter line; a line feed alone keeps it.
void console_status(const char* text);
// The width console_status cuts a line on standard output's terminal to
// (the row's columns less the last one); 0 when the terminal does not say.
uint32_t console_status_width();
// A status line still standing on standard output's terminal is cleared,
// for a program whose status line is only for the eye: the terminal then
// holds exactly what a file would.
void console_status_clear();
// Flushes standard output; returns the error that lost some of it, 0 when
// everything printed reached it.
uint32_t console_finish();
// A name of `length` bytes (NUL-terminated after them) as a line on `stream`
// carries it: escaped on a terminal (ESCAPE_FOR_TERMINAL), elsewhere only its
// NULs (ESCAPE_NUL). The text lasts until the next call.
const char* console_name(ConsoleStream stream, const char* name, uint32_t length);
// Whether `stream` is a terminal, where someone watches the lines appear.
bool console_is_terminal(ConsoleStream stream);
// Whether `stream` is a terminal that takes UTF-16 (a Windows console).
bool console_takes_utf16(ConsoleStream stream);
// A line's bytes for such a terminal: names' CESU-8 (and any UTF-8) decoded
// to UTF-16, each line feed as CR LF. Converts whole characters while they
// fit `capacity` units; *used tells how many bytes that took.
uint32_t console_text_to_utf16(const char* text, uint32_t length, WideChar* out, uint32_t capacity, uint32_t* used);
// A decimal of a 64-bit value, the same digits on every C runtime.
const char* format_i64(int64_t value, char buffer[24]);
const char* format_u64(uint64_t value, char buffer[24]);
// The system's text for an error code, in `out`, fit for one line
// (fit_one_line); "system error N" when the system has none.
const char* error_text(uint32_t code, char* out, uint32_t capacity, bool trim);
// A text made fit for one line in place: control bytes (the line break a
// system message ends with) blanked, and with `trim` the blanks at its end
// dropped. Returns its new length.
uint32_t fit_one_line(char* text, uint32_t length, bool trim);

#endif
