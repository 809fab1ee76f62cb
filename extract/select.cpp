// Selection by the FILTERs, and the listing line of every entry.
#include <stdlib.h>
#include <string.h>

#include "extract/extract.h"
#include "report/console.h"
#include "report/failure.h"

void release_filters() {
    free(g_state.filters);
    g_state.filters = 0;
    g_state.filter_count = 0;
}

bool take_filters(int argc, char** argv, int first) {
    ExtractState* s = &g_state;
    release_filters();
    if (first >= argc) return true;
    uint32_t count = (uint32_t)(argc - first);
    // One block for the run: the table, then each filter's text.
    char* block = (char*)malloc((size_t)count * (sizeof(Filter) + FILTER_BYTES));
    if (!block) {
        say_early("too many FILTERs");
        return false;
    }
    s->filters = (Filter*)block;
    char* texts = block + (size_t)count * sizeof(Filter);
    for (uint32_t i = 0; i < count; i++) {
        const char* argument = argv[first + (int)i];
        Filter* f = &s->filters[i];
        f->argument = argument;
        f->text = texts + (size_t)i * FILTER_BYTES;
        f->reached = false;
        uint32_t n = strlen(argument) < FILTER_BYTES ? filter_to_cesu8(argument, f->text, FILTER_BYTES) : UINT32_MAX;
        if (n == UINT32_MAX) {
            say_early("FILTER is longer than 1023 bytes: <%.40s...>",
                      console_name(CONSOLE_ERR, argument, (uint32_t)strlen(argument)));
            return false;
        }
        f->length = n;
    }
    s->filter_count = count;
    return true;
}

// Whether one FILTER selects the entry. Extracting, it is the entries whose
// path and the filter agree over the shorter of the two, as ever; written to
// standard output, only the files it names (a directory's, or the one file).
static bool filter_selects(const Filter& f, const char* relative) {
    if (g_state.options.to_stdout) return filter_names(relative, f.text, f.length);
    return path_selected(relative, f.text, f.length);
}

void list_entry(const char* relative, uint32_t length) {
    ExtractState* s = &g_state;
    // The number compares the path with the first FILTER that selects it,
    // or with the first FILTER when none does: with one FILTER, as it always
    // was; with several, 0 still means inside a chosen subtree.
    const Filter* shown = s->filter_count ? &s->filters[0] : 0;
    bool found = false;
    for (uint32_t i = 0; i < s->filter_count; i++) {
        Filter* f = &s->filters[i];
        if (!f->reached && (s->options.to_stdout ? filter_names(relative, f->text, f->length)
                                                 : filter_reaches(relative, f->text, f->length)))
            f->reached = true;
        if (!found && filter_selects(*f, relative)) {
            shown = f;
            found = true;
        }
    }
    if (s->options.quiet || s->options.to_stdout) return;
    int order = shown ? compare_prefix(relative, shown->text, shown->length) : 0;
    console_out_listing(relative, length, order);
}

bool select_entry(const char* relative) {
    ExtractState* s = &g_state;
    if (s->filter_count == 0) return true;
    for (uint32_t i = 0; i < s->filter_count; i++)
        if (filter_selects(s->filters[i], relative)) return true;
    return false;
}

bool report_filters_not_found() {
    ExtractState* s = &g_state;
    bool any = false;
    for (uint32_t i = 0; i < s->filter_count; i++) {
        const Filter& f = s->filters[i];
        // An empty FILTER selects everything, an empty archive included.
        if (f.reached || f.length == 0) continue;
        console_err("untree: FILTER <%s> is not in the archive\n",
                    console_name(CONSOLE_ERR, f.argument, (uint32_t)strlen(f.argument)));
        any = true;
    }
    return any;
}
