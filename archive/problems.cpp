#include "archive/problems.h"

#include <stdio.h>

typedef unsigned long long Count;

const char* regions_problem(const ArchiveReader* a, char text[PROBLEM_TEXT_BYTES]) {
    if (!a->index_fault || a->index_unreadable) return 0;
    (void)snprintf(text, PROBLEM_TEXT_BYTES,
                   "index regions larger than the archive: %llu bytes of names and %llu bytes of records "
                   "in a file of %llu bytes (cut short, extended, or no tree archive)",
                   (Count)a->trailer.names_size, (Count)a->trailer.records_size, (Count)a->file_size);
    return text;
}

const char* records_left_over_problem(uint32_t left_over, char text[PROBLEM_TEXT_BYTES]) {
    (void)snprintf(text, PROBLEM_TEXT_BYTES, "record region does not end on a record: %llu bytes left over",
                   (Count)left_over);
    return text;
}

const char* entry_stop_problem(const IndexWalk* w, char text[PROBLEM_TEXT_BYTES]) {
    return w->nesting ? w->nesting : name_problem(w, text);
}

const char* name_problem(const IndexWalk* w, char text[PROBLEM_TEXT_BYTES]) {
    switch (w->name_fault) {
    case NAME_FAULT_NONE: return 0;
    case NAME_FAULT_LINES_ENDED: return line_fault(LINE_END);
    case NAME_FAULT_LINE_TOO_LONG: return line_fault(LINE_TOO_LONG);
    case NAME_FAULT_PATH_TOO_LONG: break;
    }
    (void)snprintf(text, PROBLEM_TEXT_BYTES, "path too long for untree to build: %llu bytes, %llu UTF-16 units",
                   (Count)index_path_bytes(w), (Count)index_path_units(w));
    return text;
}

const char* extra_names_problem(uint64_t extra, char text[PROBLEM_TEXT_BYTES]) {
    if (extra == 0) return 0;
    (void)snprintf(text, PROBLEM_TEXT_BYTES, "more name lines than records: %llu bytes after the last record's name",
                   (Count)extra);
    return text;
}

const char* contents_sum_problem(uint64_t contents, uint64_t data, char text[PROBLEM_TEXT_BYTES]) {
    if (contents == data) return 0;
    bool more = contents > data;
    (void)snprintf(text, PROBLEM_TEXT_BYTES,
                   "contents of the files add up to %llu bytes, %s the %llu bytes of the data region: "
                   "a damaged length, or %s",
                   (Count)contents, more ? "more than" : "fewer than", (Count)data,
                   more ? "a data region cut short" : "bytes added to the data region");
    return text;
}
