// Selection by path prefix, and the listing line of every entry.
#include "extract/extract.h"
#include "report/console.h"

void list_entry(const char* relative, uint32_t length) {
    int order = compare_prefix(relative, g_state.filter, g_state.filter_length);
    console_out_listing(relative, length, order);
}

bool select_entry(const char* relative) {
    return path_selected(relative, g_state.filter, g_state.filter_length);
}
