// The built path: prefix, root and one name per depth, in CESU-8 and UTF-16.
#include <string.h>

#include "extract/extract.h"

static const char LONG_PATH_PREFIX[] = "\\\\?\\";
enum { PREFIX_BYTES = LONG_PATH_PREFIX_BYTES };

bool resolve_destination(const char* argument) {
    PathBuilder* p = &g_state.path;
    // The narrow buffer is not in use yet; it holds the argument's UTF-16.
    WideChar* scratch = (WideChar*)p->narrow;
    const char** why = &g_state.destination_fault;
    *why = "its full path cannot be formed, or is too long";
    if (platform_argument_to_wide(argument, scratch, NARROW_PATH_BYTES / 2) == 0) return false;
    uint32_t n = platform_full_path(scratch, p->wide, WIDE_PATH_UNITS);
    // A result at or above the capacity is the size it would have needed.
    if (n == 0 || n >= WIDE_PATH_UNITS) return false;

    WideChar foreign = platform_foreign_separator();
    *why = "its full path holds a backslash, which would be read as a separator";
    if (foreign)
        for (uint32_t i = 0; i < n; i++)
            if (p->wide[i] == foreign) return false;
    *why = "its full path is too long";

    // A root that ends in a separator (a drive root, "/") would double it
    // before the first name; drop it, the names bring their own.
    if (n > 1 && (p->wide[n - 1] == '\\' || p->wide[n - 1] == '/')) p->wide[--n] = 0;
    else if (n == 1 && p->wide[0] == '/') p->wide[--n] = 0;

    // Encoded by our own coder, so the root decodes back to the same units
    // whatever characters it holds.
    memcpy(p->narrow, LONG_PATH_PREFIX, PREFIX_BYTES);
    uint32_t cap = NARROW_PATH_BYTES - PREFIX_BYTES - 1;
    if ((uint64_t)n * 3 > cap) return false;
    uint32_t length = PREFIX_BYTES + encode_cesu8(p->wide, n, (uint8_t*)p->narrow + PREFIX_BYTES);
    p->narrow[length] = 0;
    if (p->narrow[PREFIX_BYTES] == '\\' && p->narrow[PREFIX_BYTES + 1] == '\\') {
        // A UNC path, or one that carries a prefix already: use it as it is.
        memmove(p->narrow, p->narrow + PREFIX_BYTES, length - PREFIX_BYTES + 1);
        length -= PREFIX_BYTES;
    }
    p->level_start[0] = length + 1;
    decode_path_utf8();
    // wide holds the root; its terminator is where the separator goes.
    uint32_t w = 0;
    while (p->wide[w]) w++;
    p->wide_level_start[0] = w + 1;
    return true;
}

void decode_path_utf8() {
    PathBuilder* p = &g_state.path;
    uint32_t length = (uint32_t)strlen(p->narrow);
    uint32_t units = decode_cesu8((const uint8_t*)p->narrow, length, p->wide, WIDE_PATH_UNITS - 1);
    if (units == DECODE_OVERFLOW) units = 0;
    p->wide[units] = 0;
}

bool place_name(int d, const uint8_t* line, uint32_t n) {
    PathBuilder* p = &g_state.path;
    uint32_t at = p->level_start[d];
    if ((uint64_t)at + n + 1 > NARROW_PATH_BYTES) return false;
    uint32_t wide_at = p->wide_level_start[d];
    if (wide_at >= WIDE_PATH_UNITS) return false;
    // The name is decoded on its own: every separator resets the decoder, so
    // this gives the same units as decoding the whole path, and shows what
    // this component alone will be. Decoding over its length, not up to a
    // NUL, keeps a NUL (raw or overlong) from hiding the rest of it.
    uint32_t units = decode_cesu8(line, n, p->wide + wide_at, WIDE_PATH_UNITS - 1 - wide_at);
    if (units == DECODE_OVERFLOW) return false;
    p->wide[wide_at - 1] = '\\';
    p->wide[wide_at + units] = 0;
    p->component_safe = component_is_safe(p->wide + wide_at, units);

    p->narrow[at - 1] = '\\';
    memcpy(p->narrow + at, line, n);
    p->narrow[at + n] = 0;
    p->narrow_end = at + n;
    if (d + 1 < LEVELS) {
        p->level_start[d + 1] = at + n + 1;
        p->wide_level_start[d + 1] = wide_at + units + 1;
    }
    return true;
}

static bool is_high_surrogate(WideChar u) { return u >= 0xD800 && u <= 0xDBFF; }

void encode_path_utf8(const WideChar* wide, char* out, uint32_t capacity, uint32_t system_units) {
    WideChar base = system_units ? platform_escaped_byte_base() : 0;
    uint32_t at = 0;
    for (uint32_t i = 0; wide[i]; i++) {
        uint8_t bytes[3];
        uint32_t n = 1;
        WideChar u = wide[i];
        // The root shows the bytes the user and the system gave it.
        bool escaped = base && i < system_units && u >= base + 0x80 && u <= base + 0xFF &&
                       !(i > 0 && is_high_surrogate(wide[i - 1]));
        if (escaped)
            bytes[0] = (uint8_t)(u - base);
        else
            n = encode_cesu8(wide + i, 1, bytes);
        if (at + n + 1 > capacity) break;
        memcpy(out + at, bytes, n);
        at += n;
    }
    out[at] = 0;
}
