// Text: UTF-16 paths to the kernel's bytes, the system's bytes to UTF-16,
// and the lexical full path GetFullPathNameW would give.
//
// A Linux path is bytes, UTF-8 or not. What the user and the system hand us
// (arguments, the working directory) is carried through UTF-16 unchanged: a
// byte b that is not part of a well-formed UTF-8 character becomes the lone
// unit U+DC00 + b (well-formed UTF-8 never gives a lone surrogate, so nothing
// else can look like one) and turns back into b on its way to the kernel.
// Names from an archive are no text of the system's: a lone surrogate there
// keeps its own three bytes.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/backend.h"

char g_kernel_path[KERNEL_PATH_BYTES];

static const uint32_t NO_ROOM = 0xFFFFFFFFu;
static const WideChar ESCAPED_BYTE_BASE = 0xDC00;

// Appends the units from w up to `end` (null: up to the terminator) to out
// from `at`, leaving room for a terminator. Returns the new end, or NO_ROOM.
static uint32_t append_bytes(const WideChar* w, const WideChar* end, char* out, uint32_t at, uint32_t capacity,
                             bool kernel_form, bool system_text) {
    for (; end ? w < end : *w != 0; w++) {
        uint32_t c = *w;
        bool pair = c >= 0xD800 && c <= 0xDBFF && (!end || w + 1 < end) && w[1] >= 0xDC00 && w[1] <= 0xDFFF;
        char b[4];
        uint32_t n;
        if (pair) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[1] - 0xDC00);
            w++;
        }
        if (kernel_form && c == '\\') c = '/';
        if (system_text && c >= ESCAPED_BYTE_BASE + 0x80u && c <= ESCAPED_BYTE_BASE + 0xFFu) {
            b[0] = (char)(c - ESCAPED_BYTE_BASE);
            n = 1;
        } else if (c < 0x80) {
            b[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            b[0] = (char)(0xC0 | (c >> 6));
            b[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            b[0] = (char)(0xE0 | (c >> 12));
            b[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        } else {
            b[0] = (char)(0xF0 | (c >> 18));
            b[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            b[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            b[3] = (char)(0x80 | (c & 0x3F));
            n = 4;
        }
        if (at + n + 1 > capacity) return NO_ROOM;
        memcpy(out + at, b, n);
        at += n;
    }
    return at;
}

static uint32_t terminate(char* out, uint32_t at) {
    if (at == NO_ROOM) return 0;
    out[at] = 0;
    return at + 1;
}

uint32_t utf16_to_utf8(const WideChar* w, char* out, uint32_t capacity, bool kernel_form) {
    return terminate(out, append_bytes(w, 0, out, 0, capacity, kernel_form, false));
}

uint32_t utf16_to_system_bytes(const WideChar* w, char* out, uint32_t capacity, bool kernel_form) {
    return terminate(out, append_bytes(w, 0, out, 0, capacity, kernel_form, true));
}

// Length of the well-formed UTF-8 character at s, 0 when there is none.
static uint32_t utf8_character(const uint8_t* s, uint32_t* code) {
    uint32_t c = s[0];
    uint32_t extra;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (c < 0x80) {
        *code = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) c &= 0x1F, extra = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
        if (c == 0xE0) low = 0xA0;        // no overlong form
        else if (c == 0xED) high = 0x9F;  // no surrogate
        c &= 0x0F, extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
        if (c == 0xF0) low = 0x90;
        else if (c == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
        c &= 0x07, extra = 3;
    } else {
        return 0;
    }
    if (s[1] < low || s[1] > high) return 0;
    for (uint32_t i = 1; i <= extra; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (s[i] & 0x3F);
    }
    *code = c;
    return extra + 1;
}

uint32_t system_bytes_to_utf16(const char* text, WideChar* out, uint32_t capacity, bool* well_formed) {
    const uint8_t* s = (const uint8_t*)text;
    uint32_t at = 0;
    bool whole = true;
    if (capacity == 0) return 0;
    for (;;) {
        uint32_t c;
        uint32_t n = utf8_character(s, &c);
        if (n == 0) {
            c = ESCAPED_BYTE_BASE + *s;
            n = 1;
            whole = false;
        }
        if (c == 0) break;
        // Room stays for the terminator, so that a text cut short ends in one.
        uint32_t units = c >= 0x10000 ? 2 : 1;
        if (at + units + 1 > capacity) {
            out[at] = 0;
            if (well_formed) *well_formed = false;
            return 0;
        }
        s += n;
        if (units == 2) {
            out[at++] = (WideChar)(0xD800 + ((c - 0x10000) >> 10));
            out[at++] = (WideChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[at++] = (WideChar)c;
        }
    }
    out[at] = 0;
    if (well_formed) *well_formed = whole;
    return at + 1;
}

uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity) {
    return system_bytes_to_utf16(text, out, capacity);
}

uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity) {
    // Lexical, like GetFullPathNameW: against the current directory, "." and
    // ".." folded, no link resolved.
    static char joined[KERNEL_PATH_BYTES + PATH_MAX + 2];
    char relative[KERNEL_PATH_BYTES];
    if (utf16_to_system_bytes(path, relative, sizeof relative, false) == 0) return 0;
    if (relative[0] == 0) return 0;
    size_t at = 0;
    if (relative[0] != '/') {
        if (!getcwd(joined, PATH_MAX)) return 0;
        at = strlen(joined);
        joined[at++] = '/';
    }
    size_t rl = strlen(relative);
    memcpy(joined + at, relative, rl + 1);

    // Fold in place into `folded`.
    static char folded[sizeof joined];
    size_t f = 0;
    const char* s = joined;
    while (*s) {
        while (*s == '/') s++;
        const char* end = s;
        while (*end && *end != '/') end++;
        size_t len = (size_t)(end - s);
        if (len == 0) break;
        if (len == 1 && s[0] == '.') {
        } else if (len == 2 && s[0] == '.' && s[1] == '.') {
            while (f > 0 && folded[f - 1] != '/') f--;
            if (f > 0) f--;
        } else {
            folded[f++] = '/';
            memcpy(folded + f, s, len);
            f += len;
        }
        s = end;
    }
    if (f == 0) folded[f++] = '/';
    folded[f] = 0;
    uint32_t units = system_bytes_to_utf16(folded, out, capacity);
    // Only room can fail it, and every byte gives at most one unit: this
    // many would do.
    if (units == 0) return (uint32_t)(f + 1);
    return units - 1;
}

WideChar platform_foreign_separator() { return '\\'; }

bool platform_windows_names() { return false; }

// Names are bytes: two names are one only when they are the same.
bool platform_names_ignore_case() { return false; }

void platform_upcase_name(const WideChar* name, uint32_t units, WideChar* out) {
    memcpy(out, name, units * sizeof(WideChar));
}

WideChar platform_escaped_byte_base() { return ESCAPED_BYTE_BASE; }
