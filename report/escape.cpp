#include "report/escape.h"

#include <stdint.h>
#include <string.h>

#include "archive/format.h"

// Length of the character starting at s, 0 when the bytes there are none.
static size_t character_length(const uint8_t* s, size_t left) {
    uint8_t b = s[0];
    size_t n;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (left < n || s[1] < low || s[1] > high) return 0;
    for (size_t i = 2; i < n; i++)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return n;
}

size_t escape_name(const char* text, size_t length, EscapeWhat what, char* out, size_t capacity) {
    static const char HEX[] = "0123456789ABCDEF";
    const uint8_t* s = (const uint8_t*)text;
    size_t at = 0;
    if (capacity == 0) return 0;
    for (size_t i = 0; i < length;) {
        uint8_t character[4];
        if (what == ESCAPE_FOR_TERMINAL && s[i] == 0xED &&
            cesu8_pair_to_utf8(s + i, length - i > 6 ? 6 : (uint32_t)(length - i), character)) {
            // A character beyond the first plane, stored as its two
            // surrogates: shown as the character it is.
            if (at + 4 >= capacity) break;
            memcpy(out + at, character, 4);
            at += 4;
            i += 6;
            continue;
        }
        size_t n = what == ESCAPE_NUL ? 1 : character_length(s + i, length - i);
        bool control = what == ESCAPE_NUL ? s[i] == 0
                       : n == 1           ? s[i] < 0x20 || s[i] == 0x7F
                                          : n == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0;
        if (n != 0 && !control) {
            if (at + n >= capacity) break;
            memcpy(out + at, s + i, n);
            at += n;
            i += n;
            continue;
        }
        // A control shows every byte of it escaped; a stray byte only itself.
        size_t bytes = n ? n : 1;
        if (at + 4 * bytes >= capacity) break;
        for (size_t k = 0; k < bytes; k++, i++) {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = HEX[s[i] >> 4];
            out[at++] = HEX[s[i] & 15];
        }
    }
    out[at] = 0;
    return at;
}
