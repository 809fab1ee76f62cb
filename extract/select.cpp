// Selection by path prefix, and the listing line of every entry.
#include <string.h>

#include "extract/extract.h"
#include "report/console.h"

// Byte-wise over at most n bytes; the end of a text is the smaller byte.
int compare_prefix(const char* a, const char* b, uint32_t n) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (uint32_t i = 0; i < n; i++) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
        if (x[i] == 0) break;
    }
    return 0;
}

void list_entry(const char* relative) {
    int order = compare_prefix(relative, g_state.filter, g_state.filter_length);
    console_out("%s %d\n", console_name(CONSOLE_OUT, relative), order);
}

// Selected when the path and the filter agree over the shorter of the two:
// the entries inside the chosen subtree, and the directories leading to it.
bool select_entry(const char* relative) {
    uint32_t n = g_state.filter_length;
    if (n == 0) return true;
    size_t length = strlen(relative);
    if (length < n) n = (uint32_t)length;
    return compare_prefix(relative, g_state.filter, n) == 0;
}
