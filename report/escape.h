// Names as a terminal shows them instead of obeying them.
#ifndef UNTREE_REPORT_ESCAPE_H
#define UNTREE_REPORT_ESCAPE_H

#include <stddef.h>

// Copies `length` bytes of a name into out, NUL-terminated, writing as \xNN
// every byte a terminal could take for a control or could not show: C0
// controls, DEL, both bytes of a C1 control (C2 80 to C2 9F), and each byte
// that is no part of a well-formed character (the surrogates archive names
// carry, ED A0 80 to ED BF BF, count as characters). Everything else is
// copied as it is. Stops before a character or escape that would not fit;
// 4 * length + 1 bytes always do. Returns the bytes written without the
// terminator.
size_t escape_for_terminal(const char* text, size_t length, char* out, size_t capacity);

#endif
