// Names as a terminal shows them instead of obeying them.
#ifndef UNTREE_REPORT_ESCAPE_H
#define UNTREE_REPORT_ESCAPE_H

#include <stddef.h>

enum EscapeWhat {
    // Every byte a terminal could take for a control or could not show: C0
    // controls, DEL, both bytes of a C1 control (C2 80 to C2 9F), and each
    // byte that is no part of a well-formed character. A surrogate pair, as
    // archive names carry a character beyond the first plane, becomes that
    // character's four bytes; a lone surrogate is no character.
    ESCAPE_FOR_TERMINAL,
    // Only NUL bytes, which no system puts in a name and no line can carry.
    ESCAPE_NUL,
};

// Copies `length` bytes of a name into out, NUL-terminated, writing the bytes
// `what` says as \xNN and everything else as it is. Stops before a character
// or escape that would not fit; 4 * length + 1 bytes always do. Returns the
// bytes written without the terminator.
size_t escape_name(const char* text, size_t length, EscapeWhat what, char* out, size_t capacity);

#endif
