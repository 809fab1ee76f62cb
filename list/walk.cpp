// The walk over an archive's index: one record and one name line at a time,
// each entry's path built over the previous one's. A listing stops at the
// first problem untree would stop at; a check reports it and goes on, so
// that one run shows every problem of the index.
#include <string.h>

#include "archive/checksum.h"
#include "archive/problems.h"
#include "list/list.h"
#include "platform/platform.h"
#include "report/console.h"
#include "report/exit_status.h"

ListState g_list;

// The index came back shorter than its trailer promised: a read failed, or
// the file shrank while read. Nothing about the archive can be said.
static void index_unreadable() {
    ListState* g = &g_list;
    const ArchiveReader* a = &g->archive;
    char text[1024];
    const char* why = a->index_error ? error_text(a->index_error, text, sizeof text, true) : a->index_fault;
    message("cannot read the index of %s: %s", g->archive_path, why);
}

static uint64_t add_saturating(uint64_t a, uint64_t b) {
    return a + b < a ? UINT64_MAX : a + b;
}

static void count_entry() {
    ListState* g = &g_list;
    ListTotals* t = &g->totals;
    const EntryRecord& r = g->walk.record;
    t->entries++;
    if (is_directory(r)) t->directories++;
    else t->files++;
    if (!is_directory(r)) t->bytes = add_saturating(t->bytes, content_length(r));
}

enum { PROGRESS_INTERVAL_MS = 500,
       PROGRESS_LINE_BYTES = 256 };

// The bytes of the character whose first byte is `b`; 0 inside one.
static uint32_t character_bytes(uint8_t b) {
    if (b < 0x80) return 1;
    if (b < 0xC0) return 0;
    if (b < 0xE0) return 2;
    return b < 0xF0 ? 3 : 4;
}

// "checked N of M bytes (P%) PATH", `done` bytes into the data region, at
// most every half second. A check that takes less than half a second shows
// none. The line is cut to the terminal's row at a character's start: no
// character takes more columns than it has bytes, so bytes within the row
// never wrap it.
static void progress_check(uint64_t done) {
    ListState* g = &g_list;
    if (!g->progress || g->out_used) return;
    uint32_t now = platform_tick_count();
    if ((int32_t)(now - g->progress_due) < 0) return;
    g->progress_due = now + PROGRESS_INTERVAL_MS;
    uint64_t total = index_data_region(&g->archive);
    if (done > total) done = total;
    char x[24], y[24];
    char line[PROGRESS_LINE_BYTES];
    int n = snprintf(line, sizeof line, "checked %s of %s bytes (%u%%) ", format_u64(done, x), format_u64(total, y),
                     (unsigned)(total ? (double)done * 100.0 / (double)total : 100.0));
    if (n < 0 || (uint32_t)n >= sizeof line) return;
    uint32_t used = (uint32_t)n;
    uint32_t width = console_status_width();
    uint32_t room = width && width < sizeof line ? width : (uint32_t)sizeof line - 1;
    const IndexWalk* w = &g->walk;
    const char* path = w->path_known ? console_name(CONSOLE_OUT, w->path, (uint32_t)strlen(w->path)) : "";
    for (uint32_t i = 0; path[i]; i++) {
        uint32_t length = character_bytes((uint8_t)path[i]);
        if (length && used + length > room) break;
        line[used++] = path[i];
    }
    line[used] = 0;
    console_status(line);
}

// The content of the current entry, at `offset` in the data region: read
// whole and checked against its checksum (--check), or a link's target
// kept for the listing. False when the data region ends first or a read
// failed.
static bool read_content(uint64_t offset, uint64_t length, bool keep_target) {
    ListState* g = &g_list;
    ArchiveReader* a = &g->archive;
    if (offset > g->data_position) g->data_position += data_skip(a, offset - g->data_position);
    if (offset != g->data_position) return false;
    uint32_t crc = 0;
    uint64_t got = 0;
    g->target_length = 0;
    while (got < length) {
        const uint8_t* bytes;
        uint32_t n = data_take(a, length - got, &bytes);
        if (n == 0) break;
        crc = crc32c(crc, bytes, n);
        if (keep_target && got + n < LINK_TARGET_LIMIT) memcpy(g->target + got, bytes, n);
        got += n;
        progress_check(g->data_position + got);
    }
    g->data_position += got;
    if (keep_target && got == length && length < LINK_TARGET_LIMIT) g->target_length = (uint32_t)length;
    if (got < length) {
        char x[24], y[24];
        if (a->data.read_error) {
            char text[512];
            entry_problem(SEVERITY_ERROR, "content cannot be read: %s",
                          error_text(a->data.read_error, text, sizeof text, true));
        } else {
            entry_problem(SEVERITY_ERROR, "content cut short: %s of %s bytes in the archive", format_u64(got, x),
                          format_u64(length, y));
        }
        return false;
    }
    if (crc != entry_extension(g->walk.record).content_crc) entry_problem(SEVERITY_ERROR, "checksum mismatch");
    return true;
}

enum StepResult { STEP_ON,
                  STEP_STOP,
                  STEP_FAILED };

// One entry. A problem gets its line; a listing stops at the first, as
// untree does, a check goes on.
static StepResult step() {
    ListState* g = &g_list;
    const IndexWalk* w = &g->walk;
    int d = w->record.depth;
    bool checking = g->mode == MODE_CHECK;
    StepResult stop = checking ? STEP_ON : STEP_STOP;
    if (checking) {
        count_entry();
        leave_siblings((uint32_t)d);
    }
    if (w->nesting) {
        entry_problem(SEVERITY_ERROR, "%s", w->nesting);
        if (!checking) return STEP_STOP;
    }
    if (!w->nesting && w->entry_number == g->extension.entry) {
        // Its record or name is not what was written: untree stops here.
        entry_problem(SEVERITY_ERROR, "%s", g->extension.entry_fault);
        if (!checking) return STEP_STOP;
    }
    const EntryRecord& r = w->record;
    bool extended_file = g->extension.extended && !is_directory(r);
    uint64_t length = extended_file ? content_length(r) : 0;
    uint64_t offset = w->contents - length;  // w->contents counts this entry's already
    if (w->name_fault != NAME_FAULT_NONE) {
        // Lines that ended are said once, where they ended: no later entry
        // has a path.
        if (w->name_fault == NAME_FAULT_LINES_ENDED) {
            if (g->names_ended_said) return STEP_ON;
            g->names_ended_said = true;
        }
        char text[PROBLEM_TEXT_BYTES];
        entry_problem(SEVERITY_ERROR, "%s", name_problem(w, text));
        return stop;
    }
    if (checking) {
        // Every content is read, whatever becomes of its entry.
        if (extended_file && !g->index_only && w->contents != UINT64_MAX) {
            progress_check(g->data_position);
            read_content(offset, length, false);
        }
        if (w->verdict == VERDICT_INSIDE) return STEP_ON;
        if (check_name()) return STEP_ON;
        message("not enough memory for the names of one directory of %s", g->archive_path);
        return STEP_FAILED;
    }
    // A listing shows every entry untree lists, whatever it makes of it.
    if (!path_selected(w->path, g->filter, g->filter_length)) return STEP_ON;
    g->target_length = 0;
    if (extended_file && is_link(r) && g->mode != MODE_NAMES && !g->summary_only && w->contents != UINT64_MAX &&
        !read_content(offset, length, true))
        return STEP_STOP;
    count_entry();
    if (!g->summary_only) show_entry();
    return STEP_ON;
}

// What the whole index says beyond its entries.
static void check_regions() {
    ListState* g = &g_list;
    const ArchiveReader* a = &g->archive;
    char text[PROBLEM_TEXT_BYTES];
    uint64_t extra = names_left(a);
    // The extension's footer is the one line after the last record's.
    if (g->walk.names_ended || (g->extension.extended && extra == FOOTER_BYTES)) extra = 0;
    if (extra_names_problem(extra, text)) archive_problem("%s", text);
    if (contents_sum_problem(g->walk.contents, index_data_region(a), text)) archive_problem("%s", text);
}

// The records, one by one. Returns the exit status; 0 when the walk went
// through, problems or not.
// A record region whose size is no multiple of a record: untree stops at
// the cut, --check reports it before the entries, a listing after them.
static void records_left_over(uint32_t left_over) {
    char text[PROBLEM_TEXT_BYTES];
    archive_problem("%s", records_left_over_problem(left_over, text));
}

// Damage of the index in no one entry that only the walk's end shows.
static void index_fault_found(const char* footer_fault) {
    const char* fault = g_list.extension.fault;
    if (fault && fault != footer_fault) archive_problem("%s", fault);
}

static int walk_records() {
    ListState* g = &g_list;
    ArchiveReader* a = &g->archive;
    bool checking = g->mode == MODE_CHECK;
    char x[24];
    if (a->file_size < TRAILER_BYTES) {
        archive_problem("not a tree archive: %s bytes, shorter than its 8-byte trailer", format_u64(a->file_size, x));
        return EXIT_INCOMPLETE;
    }
    if (a->index_unreadable) {
        index_unreadable();
        return EXIT_EARLY;
    }
    char text[PROBLEM_TEXT_BYTES];
    if (regions_problem(a, text)) {
        archive_problem("%s", text);
        return EXIT_INCOMPLETE;
    }
    char why[256];
    if (const char* reason = not_a_tree_archive(a, why)) {
        archive_problem("not a tree archive: %s", reason);
        return EXIT_INCOMPLETE;
    }
    extension_begin(a, &g->extension);
    if (a->index_unreadable) {
        index_unreadable();
        return EXIT_EARLY;
    }
    // What the footer says of itself is said first; what the checksums of
    // the whole index say, once the walk has taken them.
    if (g->extension.fault) archive_problem("%s", g->extension.fault);
    const char* footer_fault = g->extension.fault;
    uint32_t room_bytes, room_units;
    index_shortest_root(&room_bytes, &room_units);
    if (!index_begin(&g->walk, a, room_bytes, room_units, &g->extension)) {
        message("not enough memory for the names of %s", g->archive_path);
        return EXIT_EARLY;
    }
    // A listing shows what the index holds; only a check says what untree
    // makes of names met again.
    g->walk.judge_names = checking;
    uint32_t left_over = a->trailer.records_size % RECORD_BYTES;
    if (checking && left_over)
        records_left_over(left_over);
    for (;;) {
        IndexStep result = index_step(&g->walk);
        if (result == INDEX_END) break;
        if (result == INDEX_UNREADABLE) {
            index_unreadable();
            return EXIT_EARLY;
        }
        if (result == INDEX_RECORD_CUT) {
            // Its last bytes and the trailer's first would make one more
            // record for untree, which stops there.
            if (checking) break;
            records_left_over(left_over);
            return EXIT_INCOMPLETE;
        }
        StepResult step_result = step();
        if (step_result == STEP_STOP) {
            // The rest of the index is read only for its checksums.
            while (index_step(&g->walk) == INDEX_ENTRY) {
            }
            index_fault_found(footer_fault);
            return EXIT_INCOMPLETE;
        }
        if (step_result == STEP_FAILED) return EXIT_EARLY;
    }
    index_fault_found(footer_fault);
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
    ArchiveReader* a = &g->archive;
    if (!open_cursors(a, g->archive_path)) {
        char text[512];
        uint32_t error = platform_last_error();
        message("cannot open %s: %s", g->archive_path, error_text(error, text, sizeof text, true));
        return EXIT_EARLY;
    }
    g->progress = g->mode == MODE_CHECK && !g->index_only && console_is_terminal(CONSOLE_OUT);
    g->progress_due = platform_tick_count() + PROGRESS_INTERVAL_MS;
    int status = walk();
    console_status_clear();
    close_cursors(a);
    index_end(&g->walk);
    release_siblings();
    if (uint32_t lost = out_finish()) {
        char text[512];
        message("cannot write to standard output: %s", error_text(lost, text, sizeof text, true));
        return EXIT_EARLY;
    }
    return status;
}
