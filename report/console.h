// Standard output and standard error, kept in the order they were written
// even when both go to one file or pipe, and live on a terminal.
#ifndef UNTREE_REPORT_CONSOLE_H
#define UNTREE_REPORT_CONSOLE_H

#include <stdint.h>

void console_init();
void console_out(const char* format, ...);
void console_err(const char* format, ...);
void console_finish();
// A decimal of a 64-bit value, the same digits on every C runtime.
const char* format_i64(int64_t value, char buffer[24]);
// The system's text for an error code, in `out`, fit for one line: control
// bytes (the line break the system ends it with) blanked and trailing
// blanks dropped; "system error N" when the system has none.
const char* error_text(uint32_t code, char* out, uint32_t capacity);

#endif
