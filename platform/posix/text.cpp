// Text: UTF-16 paths to the kernel's UTF-8, arguments to UTF-16, and the
// lexical full path GetFullPathNameW would give.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/backend.h"

char g_kernel_path[KERNEL_PATH_BYTES];

uint32_t utf16_to_utf8(const WideChar* w, char* out, uint32_t capacity, bool kernel_form) {
    uint32_t at = 0;
    for (; *w; w++) {
        uint32_t c = *w;
        if (c >= 0xD800 && c <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[1] - 0xDC00);
            w++;
        }
        if (kernel_form && c == '\\') c = '/';
        char b[4];
        uint32_t n;
        if (c < 0x80) {
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
        if (at + n + 1 > capacity) return 0;
        memcpy(out + at, b, n);
        at += n;
    }
    out[at] = 0;
    return at + 1;
}

const char* kernel_path(const WideChar* path) {
    if (path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\') path += 4;
    if (utf16_to_utf8(path, g_kernel_path, KERNEL_PATH_BYTES, true) == 0) return 0;
    return g_kernel_path;
}

uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity) {
    const uint8_t* s = (const uint8_t*)text;
    uint32_t at = 0;
    for (;;) {
        uint32_t c = *s;
        uint32_t extra = 0;
        if (c < 0x80) extra = 0;
        else if (c >= 0xC2 && c <= 0xDF) c &= 0x1F, extra = 1;
        else if (c >= 0xE0 && c <= 0xEF) c &= 0x0F, extra = 2;
        else if (c >= 0xF0 && c <= 0xF4) c &= 0x07, extra = 3;
        else return 0;  // not the locale's UTF-8
        s++;
        for (uint32_t i = 0; i < extra; i++, s++) {
            if ((*s & 0xC0) != 0x80) return 0;
            c = (c << 6) | (*s & 0x3F);
        }
        if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF))) return 0;
        if (c >= 0x10000) {
            if (at + 2 > capacity) return 0;
            out[at++] = (WideChar)(0xD800 + ((c - 0x10000) >> 10));
            out[at++] = (WideChar)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            if (at + 1 > capacity) return 0;
            out[at++] = (WideChar)c;
        }
        if (c == 0) return at;
    }
}

uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity) {
    // Lexical, like GetFullPathNameW: against the current directory, "." and
    // ".." folded, no link resolved.
    static char joined[KERNEL_PATH_BYTES + PATH_MAX + 2];
    char relative[KERNEL_PATH_BYTES];
    if (utf16_to_utf8(path, relative, sizeof relative, false) == 0) return 0;
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
    uint32_t units = platform_argument_to_wide(folded, out, capacity);
    if (units == 0) {
        // Either not UTF-8 or too long: tell the size it would need.
        return f + 1 > capacity ? (uint32_t)(f + 1) : 0;
    }
    return units - 1;
}

uint32_t platform_wide_to_utf8(const WideChar* text, char* out, uint32_t capacity) {
    return utf16_to_utf8(text, out, capacity, false);
}

WideChar platform_foreign_separator() { return '\\'; }
