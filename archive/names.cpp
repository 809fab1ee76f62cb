#include "archive/names.h"

#include <string.h>

#include "archive/format.h"

static bool is_unsafe_unit(uint16_t u) {
    return u == 0 || u == '\\' || u == '/' || u == ':';
}

bool component_is_safe(const uint16_t* name, uint32_t units) {
    if (units == 0) return false;
    if (units == 1 && name[0] == '.') return false;
    if (units == 2 && name[0] == '.' && name[1] == '.') return false;
    for (uint32_t i = 0; i < units; i++)
        if (is_unsafe_unit(name[i])) return false;
    return true;
}

// The name of a device Windows keeps, whatever extension follows it.
static const char* reserved_device(const uint16_t* units, uint32_t count) {
    static const char* const names[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4",
                                        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    uint32_t base = 0;
    while (base < count && units[base] != '.') base++;
    while (base > 0 && units[base - 1] == ' ') base--;
    for (const char* name : names) {
        uint32_t i = 0;
        // Case is folded in ASCII only: no other letter folds to one of these.
        while (i < base && name[i] && (units[i] >= 'a' && units[i] <= 'z' ? units[i] - 32 : units[i]) == name[i]) i++;
        if (i == base && name[i] == 0) return name;
    }
    return 0;
}

uint32_t windows_name_faults(const uint16_t* name, uint32_t units, const char** device) {
    uint32_t faults = 0;
    if (units && (name[units - 1] == '.' || name[units - 1] == ' ')) faults |= WINDOWS_NAME_TRAILING;
    *device = reserved_device(name, units);
    if (*device) faults |= WINDOWS_NAME_DEVICE;
    return faults;
}

bool relative_path_fits(uint64_t bytes, uint64_t units) {
    // Before the first name: the prefix and the root's terminator, which
    // becomes the first separator; after the last: a terminator.
    uint64_t before = LONG_PATH_PREFIX_BYTES + 1;
    return before + bytes + 1 <= PATH_BUFFER_BYTES && before + units + 1 <= PATH_BUFFER_UNITS;
}

int compare_prefix(const char* a, const char* b, uint32_t n) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (uint32_t i = 0; i < n; i++) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
        if (x[i] == 0) break;
    }
    return 0;
}

bool path_selected(const char* relative, const char* filter, uint32_t filter_length) {
    uint32_t n = filter_length;
    if (n == 0) return true;
    size_t length = strlen(relative);
    if (length < n) n = (uint32_t)length;
    return compare_prefix(relative, filter, n) == 0;
}

// The filter's length without the backslashes that close it.
static uint32_t without_closing_separators(const char* filter, uint32_t length) {
    while (length > 0 && filter[length - 1] == '\\') length--;
    return length;
}

bool filter_reaches(const char* relative, const char* filter, uint32_t filter_length) {
    if (filter_length == 0) return true;
    size_t length = strlen(relative);
    if (length >= filter_length && memcmp(relative, filter, filter_length) == 0) return true;
    uint32_t bare = without_closing_separators(filter, filter_length);
    return bare > 0 && length == bare && memcmp(relative, filter, bare) == 0;
}

bool filter_names(const char* relative, const char* filter, uint32_t filter_length) {
    uint32_t bare = without_closing_separators(filter, filter_length);
    if (bare == 0) return true;
    size_t length = strlen(relative);
    if (length < bare || memcmp(relative, filter, bare) != 0) return false;
    return length == bare || relative[bare] == '\\';
}

uint32_t filter_to_cesu8(const char* argument, char* out, uint32_t capacity) {
    // Names carry characters beyond the Basic Multilingual Plane as two
    // surrogates; a filter written in ordinary UTF-8 says the same in four
    // bytes. Those become six; every other byte is kept as given.
    const uint8_t* s = (const uint8_t*)argument;
    uint32_t at = 0;
    while (*s) {
        uint16_t pair[2];
        if (utf8_to_surrogates(s, pair)) {
            if (at + 6 >= capacity) return UINT32_MAX;
            at += encode_cesu8(pair, 2, (uint8_t*)out + at);
            s += 4;
            continue;
        }
        if (at + 1 >= capacity) return UINT32_MAX;
        out[at++] = *s == '/' ? '\\' : (char)*s;
        s++;
    }
    out[at] = 0;
    return at;
}
