// The walk over an archive's index: one record and one name line at a time,
// each entry's path built over the previous one's. A listing stops at the
// first problem untree would stop at; a check reports it and goes on, so
// that one run shows every problem of the index.
#include <string.h>

#include "list/list.h"
#include "platform/platform.h"
#include "report/console.h"
#include "report/exit_status.h"

ListState g_list;

// Puts a name at depth d, over the tail of the previous path. The starts of
// the levels count every byte and unit, also past the buffer, so a path
// too long for untree is known as such; it is then not kept.
static void place(int d, const uint8_t* name, uint32_t length, uint32_t units) {
    ListState* g = &g_list;
    uint32_t at = g->level_start[d];
    g->level_start[d + 1] = at + length + 1;
    g->unit_start[d + 1] = g->unit_start[d] + units + 1;
    g->path_known = (uint64_t)at + length + 1 <= PATH_BUFFER_BYTES;
    if (!g->path_known) return;
    if (d > 0) g->path[at - 1] = '\\';
    memcpy(g->path + at, name, length);
    g->path[at + length] = 0;
}

enum NameResult { NAME_PLACED, NAME_NONE, NAME_ENDED, NAME_TOO_LONG, NAME_UNREADABLE };

// The index came back shorter than its trailer promised: a read failed, or
// the file shrank while read. Nothing about the archive can be said.
static void index_unreadable() {
    ListState* g = &g_list;
    const ArchiveReader* a = &g->archive;
    char text[1024];
    const char* why = a->index_error ? error_text(a->index_error, text, sizeof text, true) : a->index_fault;
    message("cannot read the index of %s: %s", g->archive_path, why);
}

// Reads the entry's name line and places the name. NAME_NONE: the name
// lines ended at an earlier entry.
static NameResult read_name() {
    ListState* g = &g_list;
    int d = g->record.depth;
    // The levels a depth that rose too far skipped get empty names.
    for (int k = g->entry_number == 1 ? 0 : g->previous_depth + 1; k < d; k++) place(k, (const uint8_t*)"", 0, 0);
    g->path_known = false;
    if (g->names_ended) return NAME_NONE;
    LineResult line = next_line(&g->archive);
    if (line == LINE_UNREADABLE) return NAME_UNREADABLE;
    if (line == LINE_END) {
        g->names_ended = true;
        return NAME_ENDED;
    }
    if (line == LINE_TOO_LONG) {
        // Its own length is not known: long enough for any path to be too long.
        place(d, (const uint8_t*)"", 0, NAME_LINE_LIMIT);
        g->level_start[d + 1] += NAME_LINE_LIMIT;
        g->path_known = false;
        if (!skip_line(&g->archive)) g->names_ended = true;
        return NAME_TOO_LONG;
    }
    const NameLineReader& names = g->archive.names;
    g->unit_count = decode_cesu8(names.line, names.line_length, g->units, NAME_LINE_LIMIT);
    place(d, names.line, names.line_length, g->unit_count);
    return NAME_PLACED;
}

static uint64_t add_saturating(uint64_t a, uint64_t b) {
    return a + b < a ? UINT64_MAX : a + b;
}

static void count_entry() {
    ListState* g = &g_list;
    ListTotals* t = &g->totals;
    t->entries++;
    if (is_directory(g->record)) t->directories++;
    else t->files++;
    if (!is_directory(g->record)) t->bytes = add_saturating(t->bytes, content_length(g->record));
}

enum StepResult { STEP_ON, STEP_STOP, STEP_FAILED };

// One entry. A problem gets its line; a listing stops at the first, as
// untree does, a check goes on.
static StepResult step() {
    ListState* g = &g_list;
    const EntryRecord& r = g->record;
    int d = r.depth;
    bool checking = g->mode == MODE_CHECK;
    StepResult stop = checking ? STEP_ON : STEP_STOP;
    bool inside_skipped = g->skipped_depth >= 0 && d > g->skipped_depth;
    if (!inside_skipped) g->skipped_depth = -1;
    if (!is_directory(r)) g->contents = add_saturating(g->contents, content_length(r));
    if (checking) {
        count_entry();
        leave_siblings((uint32_t)d);
    }

    const char* nesting = nesting_fault(r, g->entry_number, g->previous_depth, g->previous_was_directory);
    NameResult name = read_name();
    g->previous_depth = d;
    g->previous_was_directory = is_directory(r);
    if (name == NAME_UNREADABLE) {
        index_unreadable();
        return STEP_FAILED;
    }
    if (nesting) {
        entry_problem(SEVERITY_ERROR, "%s", nesting);
        if (!checking) return STEP_STOP;
    }
    if (name == NAME_ENDED) {
        entry_problem(SEVERITY_ERROR, "%s", line_fault(LINE_END));
        return stop;
    }
    if (name == NAME_TOO_LONG) {
        entry_problem(SEVERITY_ERROR, "%s", line_fault(LINE_TOO_LONG));
        g->skipped_depth = d;
        return stop;
    }
    if (name == NAME_NONE || inside_skipped) return STEP_ON;

    uint32_t bytes = g->level_start[d + 1] - 1, units = g->unit_start[d + 1] - 1;
    if (!relative_path_fits(bytes, units)) {
        char x[24], y[24];
        entry_problem(SEVERITY_ERROR, "path too long for untree to build: %s bytes, %s UTF-16 units",
                      format_u64(bytes, x), format_u64(units, y));
        g->skipped_depth = d;
        return stop;
    }
    if (checking) {
        if (check_name()) return STEP_ON;
        message("not enough memory for the names of one directory of %s", g->archive_path);
        return STEP_FAILED;
    }
    if (!path_selected(g->path, g->filter, g->filter_length)) return STEP_ON;
    count_entry();
    if (!g->summary_only) show_entry();
    return STEP_ON;
}

// What the whole index says beyond its entries.
static void check_regions() {
    ListState* g = &g_list;
    const ArchiveReader* a = &g->archive;
    char x[24], y[24];
    uint64_t extra = names_left(a);
    if (!g->names_ended && extra > 0)
        archive_problem("more name lines than records: %s bytes after the last record's name", format_u64(extra, x));
    uint64_t index = (uint64_t)a->trailer.names_size + a->trailer.records_size + TRAILER_BYTES;
    uint64_t data = a->file_size - index;
    uint64_t contents = g->contents;
    if (contents > data)
        archive_problem("contents of the files add up to %s bytes, more than the %s bytes of the data region: "
                        "a damaged length, or a data region cut short",
                        format_u64(contents, x), format_u64(data, y));
    else if (contents < data)
        archive_problem("contents of the files add up to %s bytes, fewer than the %s bytes of the data region: "
                        "a damaged length, or bytes added to the data region",
                        format_u64(contents, x), format_u64(data, y));
}

// The records, one by one. Returns the exit status; 0 when the walk went
// through, problems or not.
// A record region whose size is no multiple of a record: untree stops at
// the cut, --check reports it before the entries, a listing after them.
static void records_left_over(uint32_t left_over) {
    char digits[24];
    archive_problem("record region does not end on a record: %s bytes left over", format_u64(left_over, digits));
}

static int walk_records() {
    ListState* g = &g_list;
    ArchiveReader* a = &g->archive;
    bool checking = g->mode == MODE_CHECK;
    char x[24], y[24], z[24];
    if (a->file_size < TRAILER_BYTES) {
        archive_problem("not a tree archive: %s bytes, shorter than its 8-byte trailer", format_u64(a->file_size, x));
        return EXIT_INCOMPLETE;
    }
    if (a->index_unreadable) {
        index_unreadable();
        return EXIT_EARLY;
    }
    if (a->index_fault) {
        archive_problem("index regions larger than the archive: %s bytes of names and %s bytes of records "
                        "in a file of %s bytes (cut short, extended, or no tree archive)",
                        format_u64(a->trailer.names_size, x), format_u64(a->trailer.records_size, y),
                        format_u64(a->file_size, z));
        return EXIT_INCOMPLETE;
    }
    uint32_t left_over = a->trailer.records_size % RECORD_BYTES;
    if (checking && left_over)
        records_left_over(left_over);
    for (;;) {
        RecordResult result = read_record(a, &g->record);
        if (result == RECORD_END) break;
        if (result == RECORD_CORRUPT && a->index_unreadable) {
            index_unreadable();
            return EXIT_EARLY;
        }
        if (result == RECORD_CORRUPT) {
            // Its last bytes and the trailer's first would make one more
            // record for untree, which stops there.
            if (checking) break;
            records_left_over(left_over);
            return EXIT_INCOMPLETE;
        }
        g->entry_number++;
        StepResult step_result = step();
        if (step_result == STEP_STOP) return EXIT_INCOMPLETE;
        if (step_result == STEP_FAILED) return EXIT_EARLY;
    }
    // Not an entry's problem, nor one untree stops at: shown in a listing
    // too, after it.
    if (!checking && left_over)
        records_left_over(left_over);
    check_regions();
    return EXIT_COMPLETE;
}

static int walk() {
    ListState* g = &g_list;
    int status = walk_records();
    if (status == EXIT_EARLY) return status;
    if (g->mode == MODE_CHECK || (status == EXIT_COMPLETE && (g->summary_only || g->mode == MODE_JSON)))
        show_totals();
    return g->totals.errors ? EXIT_INCOMPLETE : status;
}

int run_list() {
    ListState* g = &g_list;
    g->out_terminal = platform_is_terminal(stdout);
    g->skipped_depth = -1;
    ArchiveReader* a = &g->archive;
    if (!open_cursors(a, g->archive_path)) {
        char text[512];
        uint32_t error = platform_last_error();
        message("cannot open %s: %s", g->archive_path, error_text(error, text, sizeof text, true));
        return EXIT_EARLY;
    }
    int status = walk();
    close_cursors(a);
    release_siblings();
    if (uint32_t lost = out_finish()) {
        char text[512];
        message("cannot write to standard output: %s", error_text(lost, text, sizeof text, true));
        return EXIT_EARLY;
    }
    return status;
}
