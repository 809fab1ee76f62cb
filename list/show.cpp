// What untree-list prints: the entry lines of its three forms, the totals,
// and the way a stored name is shown. Standard output goes through one
// buffer here and on through the console layer in whole characters, so a
// console that wants UTF-16 can be served from this one place.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "list/list.h"
#include "platform/platform.h"
#include "report/console.h"

// --- The buffer -----------------------------------------------------------------

static void flush_out() {
    ListState* g = &g_list;
    if (g->out_used == 0) return;
    if (g->out_to_stderr) console_err("%.*s", (int)g->out_used, g->out);
    else console_out("%.*s", (int)g->out_used, g->out);
    g->out_used = 0;
}

// Room for n more bytes; nothing written is ever split by it.
static inline char* out_room(uint32_t n) {
    if (g_list.out_used + n > OUT_BYTES) flush_out();
    return g_list.out + g_list.out_used;
}

static inline void out_char(char c) {
    *out_room(1) = c;
    g_list.out_used++;
}

void out_bytes(const char* bytes, uint32_t count) {
    while (count) {
        uint32_t n = count < OUT_BYTES ? count : (uint32_t)OUT_BYTES;
        memcpy(out_room(n), bytes, n);
        g_list.out_used += n;
        bytes += n;
        count -= n;
    }
}

void out_text(const char* text) {
    out_bytes(text, (uint32_t)strlen(text));
}

void out_u64(uint64_t value) {
    char digits[24];
    out_text(format_u64(value, digits));
}

void out_end_line() {
    out_char('\n');
    // Someone is watching: the line shows now, not with the next 64 KiB.
    if (g_list.out_terminal) flush_out();
}

uint32_t out_finish() {
    flush_out();
    return console_finish();
}

void message_begin() {
    flush_out();
    g_list.out_to_stderr = true;
    out_text("untree-list: ");
}

void message_end() {
    out_char('\n');
    flush_out();
    g_list.out_to_stderr = false;
}

void message(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);
    message_begin();
    out_text(text);
    message_end();
}

// --- Names ------------------------------------------------------------------------

// The well-formed sequence of one to three bytes at s (n bytes left): its
// length, with the UTF-16 unit it carries; 0 when none starts there.
static uint32_t decode_unit(const uint8_t* s, uint32_t n, uint32_t* unit) {
    uint8_t b = s[0];
    if (b < 0x80) {
        *unit = b;
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF && n >= 2 && (s[1] & 0xC0) == 0x80) {
        *unit = ((uint32_t)(b & 0x1F) << 6) | (s[1] & 0x3F);
        return 2;
    }
    if (b >= 0xE0 && b <= 0xEF && n >= 3 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80) {
        uint32_t u = ((uint32_t)(b & 0x0F) << 12) | ((uint32_t)(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        if (u < 0x800) return 0;  // overlong
        *unit = u;
        return 3;
    }
    return 0;
}

static bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
static bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool name_is_text(const uint8_t* s, uint32_t n) {
    for (uint32_t i = 0; i < n;) {
        uint32_t unit;
        uint32_t length = decode_unit(s + i, n - i, &unit);
        if (length == 0) return false;
        if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            uint8_t character[4];
            if (!cesu8_pair_to_utf8(s + i, n - i, character)) return false;
            length = 6;
        }
        i += length;
    }
    return true;
}

enum NameStyle {
    STYLE_SHOWN,       // a line of text: \xNN for what is not a plain character
    STYLE_JSON_SHOWN,  // the same text as a JSON string's contents
    STYLE_JSON_TEXT,   // the name's own characters as a JSON string (valid names)
};

static const char HEX[] = "0123456789ABCDEF";

static void out_escaped_bytes(const uint8_t* s, uint32_t n, NameStyle style) {
    char* o = out_room(5 * n);
    for (uint32_t i = 0; i < n; i++) {
        *o++ = '\\';
        if (style == STYLE_JSON_SHOWN) *o++ = '\\';
        *o++ = 'x';
        *o++ = HEX[s[i] >> 4];
        *o++ = HEX[s[i] & 15];
    }
    g_list.out_used = (uint32_t)(o - g_list.out);
}

// Controls (C0, DEL, C1) would drive a terminal; a backslash inside a name
// would read as a separator.
static bool shown_escaped(uint32_t unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == '\\';
}

static void out_name(const uint8_t* s, uint32_t n, NameStyle style) {
    for (uint32_t i = 0; i < n;) {
        uint32_t unit;
        uint32_t length = decode_unit(s + i, n - i, &unit);
        if (length == 0 || is_low_surrogate(unit)) {
            out_escaped_bytes(s + i, length ? length : 1, style);
            i += length ? length : 1;
            continue;
        }
        if (is_high_surrogate(unit)) {
            // The pair as the character it stands for; a lone one is no text.
            uint8_t character[4];
            bool pair = cesu8_pair_to_utf8(s + i, n - i, character);
            if (pair) out_bytes((const char*)character, 4);
            else out_escaped_bytes(s + i, 3, style);
            i += pair ? 6 : 3;
            continue;
        }
        if (style == STYLE_JSON_TEXT && (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F))) {
            char* o = out_room(6);
            memcpy(o, "\\u00", 4);
            o[4] = HEX[unit >> 4];
            o[5] = HEX[unit & 15];
            g_list.out_used += 6;
        } else if (style == STYLE_JSON_TEXT && (unit == '\\' || unit == '"')) {
            out_char('\\');
            out_char((char)unit);
        } else if (shown_escaped(unit)) {
            out_escaped_bytes(s + i, length, style);
        } else if (style == STYLE_JSON_SHOWN && unit == '"') {
            out_bytes("\\\"", 2);
        } else {
            out_bytes((const char*)s + i, length);
        }
        i += length;
    }
}

static void out_path_in(NameStyle style) {
    const ListState* g = &g_list;
    int depth = g->walk.record.depth;
    for (int k = 0; k <= depth; k++) {
        if (k) out_bytes("\\\\", style == STYLE_SHOWN ? 1 : 2);
        uint32_t start = g->walk.level_start[k];
        out_name((const uint8_t*)g->walk.path + start, g->walk.level_start[k + 1] - 1 - start, style);
    }
}

void out_path() {
    out_path_in(STYLE_SHOWN);
}

// --- Times ------------------------------------------------------------------------

static char* two_digits(char* o, uint32_t v) {
    o[0] = (char)('0' + v / 10);
    o[1] = (char)('0' + v % 10);
    return o + 2;
}

// A FILETIME as ISO 8601 in UTC, "YYYY-MM-DDTHH:MM:SS" and, when `exact`,
// the seven digits of its 100-ns units; then "Z". Years past 9999 get a
// sign and more digits, as ISO 8601 writes them. Returns the length.
static uint32_t iso_time(uint64_t filetime, bool exact, char out[40]) {
    uint64_t seconds = filetime / 10000000;
    uint64_t days = seconds / 86400;
    uint32_t of_day = (uint32_t)(seconds % 86400);
    // Days since 0000-03-01 in the proleptic Gregorian calendar, taken apart
    // by eras of 400 years; 1601-01-01 is day 584694 of that count.
    uint64_t z = days + 584694;
    uint64_t era = z / 146097;
    uint32_t doe = (uint32_t)(z - era * 146097);
    uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    uint32_t mp = (5 * doy + 2) / 153;
    uint32_t day = doy - (153 * mp + 2) / 5 + 1;
    uint32_t month = mp < 10 ? mp + 3 : mp - 9;
    uint64_t year = era * 400 + yoe + (month <= 2);

    char* o = out;
    if (year > 9999) *o++ = '+';
    char digits[24];
    const char* y = format_u64(year, digits);
    uint32_t n = (uint32_t)strlen(y);
    memcpy(o, y, n);
    o += n;
    *o++ = '-';
    o = two_digits(o, month);
    *o++ = '-';
    o = two_digits(o, day);
    *o++ = 'T';
    o = two_digits(o, of_day / 3600);
    *o++ = ':';
    o = two_digits(o, of_day / 60 % 60);
    *o++ = ':';
    o = two_digits(o, of_day % 60);
    if (exact) {
        uint32_t fraction = (uint32_t)(filetime % 10000000);
        *o++ = '.';
        for (int k = 6; k >= 0; k--, fraction /= 10) o[k] = (char)('0' + fraction % 10);
        o += 7;
    }
    *o++ = 'Z';
    return (uint32_t)(o - out);
}

enum { TIME_COLUMN = 20 };

// The listing's time column: a zero FILETIME means "leave the time as the
// system sets it" and shows as "-"; a year past 9999, which the column
// cannot hold, as "?".
static void out_time_column(uint64_t filetime) {
    char text[40];
    uint32_t n = filetime ? iso_time(filetime, false, text) : 0;
    if (filetime == 0 || n != TIME_COLUMN) {
        memset(text, ' ', TIME_COLUMN);
        text[0] = filetime ? '?' : '-';
    }
    out_bytes(text, TIME_COLUMN);
}

// --- The entry lines ------------------------------------------------------------------

enum { SIZE_COLUMN = 13 };  // 2^40 - 1 has 13 digits

// The permission bits as ls shows them, with the kind in front; ? for bits
// the archive does not know.
static void out_mode(const EntryRecord& r) {
    EntryExtension e = entry_extension(r);
    char m[11];
    m[0] = is_directory(r) ? 'd' : is_link(r) ? 'l'
                                              : '-';
    static const char LETTERS[] = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) m[1 + i] = !(e.mode & MODE_KNOWN) ? '?' : e.mode & (0400 >> i) ? LETTERS[i]
                                                                                               : '-';
    if (e.mode & MODE_KNOWN) {
        if (e.mode & 04000) m[3] = m[3] == 'x' ? 's' : 'S';
        if (e.mode & 02000) m[6] = m[6] == 'x' ? 's' : 'S';
        if (e.mode & 01000) m[9] = m[9] == 'x' ? 't' : 'T';
    }
    m[10] = ' ';
    out_bytes(m, sizeof m);
}

static void show_long() {
    const EntryRecord& r = g_list.walk.record;
    bool directory = is_directory(r);
    // A plain archive's lines stay as they were; an extended one's start
    // with the permission bits.
    if (g_list.extension.extended) out_mode(r);
    char head[6 + SIZE_COLUMN + 1];
    head[0] = directory ? 'd' : '-';
    head[1] = r.attributes & ATTRIBUTE_READONLY ? 'r' : '-';
    head[2] = r.attributes & ATTRIBUTE_HIDDEN ? 'h' : '-';
    head[3] = r.attributes & ATTRIBUTE_SYSTEM ? 's' : '-';
    head[4] = r.attributes & ATTRIBUTE_ARCHIVE ? 'a' : '-';
    head[5] = ' ';
    char digits[24];
    // A directory's length fields mean nothing to the extractor.
    const char* size = format_u64(directory ? 0 : content_length(r), digits);
    uint32_t n = (uint32_t)strlen(size);
    memset(head + 6, ' ', SIZE_COLUMN - n);
    memcpy(head + 6 + SIZE_COLUMN - n, size, n);
    head[6 + SIZE_COLUMN] = ' ';
    out_bytes(head, sizeof head);
    out_time_column(r.write_time);
    out_char(' ');
    out_path();
    if (g_list.extension.extended && is_link(r)) {
        out_text(" -> ");
        out_name(g_list.target, g_list.target_length, STYLE_SHOWN);
    }
    out_end_line();
}

static void out_hex(const uint8_t* bytes, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        char* o = out_room(2);
        o[0] = HEX[bytes[i] >> 4];
        o[1] = HEX[bytes[i] & 15];
        g_list.out_used += 2;
    }
}

static void out_json_time(const char* name, uint64_t filetime) {
    out_text(",\"");
    out_text(name);
    out_text("_filetime\":");
    out_u64(filetime);
    out_text(",\"");
    out_text(name);
    out_text("_time\":");
    if (filetime == 0) {
        out_text("null");
        return;
    }
    char text[40];
    out_char('"');
    out_bytes(text, iso_time(filetime, true, text));
    out_char('"');
}

static void show_json() {
    const ListState* g = &g_list;
    const EntryRecord& r = g->walk.record;
    uint32_t start = g->walk.level_start[r.depth];
    const uint8_t* name = (const uint8_t*)g->walk.path + start;
    uint32_t name_length = g->walk.level_start[r.depth + 1] - 1 - start;
    bool text = name_is_text(name, name_length);

    out_text("{\"entry\":");
    out_u64((uint64_t)g->walk.entry_number);
    out_text(",\"path\":\"");
    out_path_in(STYLE_JSON_SHOWN);
    out_text("\",\"name\":\"");
    out_name(name, name_length, text ? STYLE_JSON_TEXT : STYLE_JSON_SHOWN);
    out_text("\",\"depth\":");
    out_u64(r.depth);
    bool extended = g->extension.extended;
    EntryExtension e = entry_extension(r);
    out_text(is_directory(r)          ? ",\"kind\":\"directory\""
             : extended && is_link(r) ? ",\"kind\":\"link\""
                                      : ",\"kind\":\"file\"");
    out_text(",\"size\":");
    out_u64(content_length(r));
    out_text(",\"attributes\":");
    out_u64(r.attributes);
    out_json_time("creation", r.creation_time);
    out_json_time("write", r.write_time);
    out_json_time("access", r.access_time);
    static const uint8_t zeros[8] = {0};
    if (extended) {
        if (e.mode & MODE_KNOWN) {
            out_text(",\"mode\":");
            out_u64(e.mode & MODE_PERMISSIONS);
        }
        if (!is_directory(r)) {
            static const char HEX[] = "0123456789abcdef";
            char crc[8];
            for (int i = 0; i < 8; i++) crc[i] = HEX[(e.content_crc >> (28 - 4 * i)) & 15];
            out_text(",\"crc32c\":\"");
            out_bytes(crc, 8);
            out_char('"');
        }
        if (is_link(r)) {
            out_text(",\"target\":\"");
            out_name(g->target, g->target_length, STYLE_JSON_SHOWN);
            out_char('"');
        }
    } else if (memcmp(r.reserved, zeros, 8) != 0) {
        out_text(",\"reserved\":\"");
        out_hex(r.reserved, 8);
        out_char('"');
    }
    if (!text) {
        out_text(",\"name_hex\":\"");
        out_hex(name, name_length);
        out_char('"');
    }
    out_char('}');
    out_end_line();
}

void show_entry() {
    switch (g_list.mode) {
    case MODE_LONG: show_long(); break;
    case MODE_NAMES:
        out_path();
        out_end_line();
        break;
    case MODE_JSON: show_json(); break;
    case MODE_CHECK: break;
    }
}

void show_totals() {
    const ListTotals& t = g_list.totals;
    bool json = g_list.mode == MODE_JSON;
    out_text(json ? "{\"summary\":{\"entries\":" : "entries=");
    out_u64(t.entries);
    out_text(json ? ",\"directories\":" : " directories=");
    out_u64(t.directories);
    out_text(json ? ",\"files\":" : " files=");
    out_u64(t.files);
    out_text(json ? ",\"bytes\":" : " bytes=");
    out_u64(t.bytes);
    if (g_list.mode == MODE_CHECK) {
        out_text(" errors=");
        out_u64(t.errors);
        out_text(" warnings=");
        out_u64(t.warnings);
    }
    if (json) out_text("}}");
    out_end_line();
}
