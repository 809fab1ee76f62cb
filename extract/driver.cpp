// The extractor's entry and its only loop: one record at a time, a name line
// each, directories created and held for their times, files filled from the
// data region.
#include <string.h>

#include "extract/extract.h"
#include "report/console.h"
#include "report/exit_status.h"
#include "report/failure.h"
#include "report/status.h"

ExtractState g_state;

// Contents go through the kernel's own copy where the platform has one: that
// spares them the pass through user memory the read-ahead window costs
// (/usr/include extracts 5 to 10 % faster, a tree of 0-16 KiB files 3 to
// 8 %, on tmpfs and ext4). A call per file costs more than that pass for
// very small contents, though (files of 0-512 bytes: 10 % slower), so when
// an archive's contents average under 2 KiB per entry only whole chunks go
// through the kernel, and the rest is served from the window, many files per
// read.
static const uint64_t SMALL_CONTENT_AVERAGE = 2048;
static const uint64_t STATUS_PIECE = 4u << 20;

static uint64_t kernel_copy_min(const ArchiveReader* archive) {
    uint64_t entries = archive->trailer.records_size / RECORD_BYTES;
    uint64_t index = (uint64_t)archive->trailer.names_size + archive->trailer.records_size + TRAILER_BYTES;
    uint64_t data = archive->file_size > index ? archive->file_size - index : 0;
    return entries && data / entries >= SMALL_CONTENT_AVERAGE ? 1 : (uint64_t)COPY_CHUNK;
}

void reset_extract_state() {
    memset(&g_state, 0, sizeof g_state);
    strcpy(g_state.path.narrow, ".");
    g_state.path.level_start[0] = 2;
    g_state.refused_depth = -1;
}

// Consumes an entry's content without writing it anywhere.
static uint64_t skip_content(uint64_t length) {
    return length ? data_skip(&g_state.archive, length) : 0;
}

struct CopyResult {
    uint64_t consumed;  // bytes taken from the data region
    uint64_t written;   // bytes the output accepted
    uint32_t error;     // why the output refused more, 0 when it did not
};

// Copies `length` bytes of content to the output. Every byte of the entry is
// consumed even when the output stops accepting them, so later entries keep
// their own bytes.
static CopyResult copy_content(uint64_t length, PlatformHandle output) {
    CopyResult result = {0, 0, 0};
    ArchiveReader* archive = &g_state.archive;
    uint64_t kernel_min = kernel_copy_min(archive);
    // Watched on a terminal, the status line moves on inside a large file
    // too: it is checked between pieces, the kernel's copy going in pieces of
    // STATUS_PIECE bytes for that.
    bool watched = status_within_files();
    while (result.consumed < length && result.error == 0) {
        if (watched) status_check(false);
        uint64_t left = length - result.consumed;
        if (left >= kernel_min && data_buffered(archive) == 0) {
            uint64_t piece = watched && left > STATUS_PIECE ? STATUS_PIECE : left;
            int64_t copied = data_copy_in_kernel(archive, output, piece);
            if (copied >= 0) {
                result.consumed += (uint64_t)copied;
                result.written += (uint64_t)copied;
                g_state.counters.outbytes += (uint64_t)copied;
                if ((uint64_t)copied < piece) {
                    // At the end of the data region no call was made, so the
                    // last error is someone else's.
                    result.error = archive->data.remaining == 0 ? 0 : platform_last_error();
                    if (result.error == 0) break;  // the data region ended
                }
                continue;
            }
        }
        const uint8_t* bytes;
        uint32_t n = data_take(archive, left, &bytes);
        if (n == 0) {
            // Unreadable bytes are passed over below, like the rest of an
            // entry the output refused.
            result.error = archive->data.read_error;
            break;
        }
        result.consumed += n;
        uint32_t w = platform_write(output, bytes, n);
        result.written += w;
        g_state.counters.outbytes += w;
        if (w < n) {
            result.error = platform_last_error();
            if (result.error == 0) result.error = platform_error_access_denied();
        }
    }
    if (result.consumed < length) result.consumed += skip_content(length - result.consumed);
    return result;
}

// The directory an entry at depth d is made in: the root, or the one held at
// d - 1. None when it is not there; `why` then says so for the report.
static PlatformHandle parent_of(int d, uint32_t* why) {
    if (d == 0) {
        *why = g_state.root_error;
        return g_state.root;
    }
    *why = platform_error_path_not_found();
    return g_state.pending.handles[d - 1];
}

// The entry's own name, the last component of the wide path.
static const WideChar* entry_name(int d) {
    return g_state.path.wide + g_state.path.wide_level_start[d];
}

// Why the entry's name is refused before anything is made, where the system
// would not keep it as it stands; 0 when it is fine.
static uint32_t name_refusal(int d) {
    if (!platform_windows_names()) return 0;
    const WideChar* name = entry_name(d);
    uint32_t units = 0;
    while (name[units]) units++;
    const char* device;
    uint32_t faults = windows_name_faults(name, units, &device);
    if (faults & WINDOWS_NAME_DEVICE) return REFUSED_DEVICE_NAME;
    return faults ? (uint32_t)REFUSED_TRAILING_DOT_OR_BLANK : 0;
}

// Returns false when the entries inside must not be attempted.
static bool extract_directory(int d) {
    const EntryRecord& record = g_state.record;
    g_state.counters.dirs++;
    uint32_t code;
    PlatformHandle parent = parent_of(d, &code);
    PlatformHandle held = PLATFORM_NO_HANDLE;
    DirectoryResult result = DIRECTORY_NOT_MADE;
    uint32_t refused = name_refusal(d);
    if (refused) {
        // Nothing inside it could be made by its name either.
        code = refused;
        result = DIRECTORY_REFUSED;
    } else if (parent != PLATFORM_NO_HANDLE) {
        result = platform_enter_directory(parent, entry_name(d), record.attributes, &held);
        code = platform_last_error();
    }
    if (result == DIRECTORY_CREATED_BARE) {
        g_state.incomplete = true;
        report_call_failure(CALL_SET_ATTRIBUTES, g_state.path.wide, record.attributes, code);
        result = DIRECTORY_CREATED;
    }
    if (result == DIRECTORY_CREATED || result == DIRECTORY_EXISTING) {
        open_pending_directory(d, record, held, result == DIRECTORY_CREATED);
        return true;
    }
    g_state.incomplete = true;
    report_directory_failure(g_state.path.wide, record, code);
    // What goes inside one that could not be made fails on its own, each
    // entry with a line. One that is there but not entered (a link, or no
    // handle left to hold it) is passed over with everything inside it.
    return result == DIRECTORY_NOT_MADE;
}

static void extract_file(int d) {
    const EntryRecord& record = g_state.record;
    const WideChar* path = g_state.path.wide;
    uint64_t length = content_length(record);
    g_state.counters.files++;
    uint32_t code;
    PlatformHandle parent = parent_of(d, &code);
    PlatformHandle output = PLATFORM_NO_HANDLE;
    uint32_t refused = name_refusal(d);
    if (refused) {
        code = refused;
    } else if (parent != PLATFORM_NO_HANDLE) {
        output = platform_create_file(parent, entry_name(d), record.attributes);
        if (output == PLATFORM_NO_HANDLE) code = platform_last_error();
    }
    g_state.output = output;
    if (output == PLATFORM_NO_HANDLE) {
        g_state.incomplete = true;
        report_create_failure(path, record, code);
        skip_content(length);
        return;
    }
    CopyResult copy = copy_content(length, output);
    if (copy.written < length) {
        g_state.incomplete = true;
        const char* reason = copy.error ? error_text_for(copy.error) : "archive ends early";
        report_short_content(path, length, copy.written, reason);
    }
    finish_file(output, record);
    g_state.output = PLATFORM_NO_HANDLE;
}

// Why the index could not be read whole, or cannot be trusted.
static const char* index_fault_text() {
    const ArchiveReader& archive = g_state.archive;
    return archive.index_error ? error_text_for(archive.index_error) : archive.index_fault;
}

// Stops a walk that cannot go on: the subtrees already written still get
// their times and the counts are shown once more.
static void stop_corrupt(const char* reason, bool status_shown) {
    report_corrupt(g_state.entry_number, reason);
    g_state.incomplete = true;
    if (!status_shown) status_final();
    finalize_directories(g_state.previous_depth, 0);
}

static void walk() {
    ExtractState* s = &g_state;
    for (;;) {
        RecordResult result = read_record(&s->archive, &s->record);
        s->entry_number++;
        const char* corrupt = 0;
        if (result == RECORD_CORRUPT)
            corrupt = s->archive.index_fault ? index_fault_text() : "record region does not end on a record";
        else if (result == RECORD_ENTRY)
            corrupt = nesting_fault(s->record, s->entry_number, s->previous_depth, s->previous_was_directory);
        bool stop = result != RECORD_ENTRY || corrupt;
        status_check(stop);
        if (corrupt) {
            stop_corrupt(corrupt, true);
            return;
        }
        int d = stop ? 0 : s->record.depth;
        if (d <= s->previous_depth) finalize_directories(s->previous_depth, d);
        s->previous_depth = d;
        if (stop) return;
        s->previous_was_directory = is_directory(s->record);

        LineResult line = next_line(&s->archive);
        if (line != LINE_OK) {
            // The record's depth was taken; its parents are still pending.
            stop_corrupt(line == LINE_UNREADABLE ? index_fault_text() : line_fault(line), false);
            return;
        }
        if (!place_name(d, s->archive.names.line, s->archive.names.line_length)) {
            stop_corrupt("path too long", false);
            return;
        }
        const char* relative = relative_path();
        list_entry(relative, relative_length());

        bool directory = is_directory(s->record);
        uint64_t length = directory ? 0 : content_length(s->record);
        if (s->refused_depth >= 0) {
            if (d > s->refused_depth) {
                skip_content(length);
                continue;
            }
            s->refused_depth = -1;
        }
        if (!select_entry(relative)) {
            skip_content(length);
            continue;
        }
        if (!s->path.component_safe) {
            report_unsafe_name(relative, relative_length());
            s->incomplete = true;
            if (directory) s->refused_depth = d;
            skip_content(length);
            continue;
        }
        if (!directory) extract_file(d);
        else if (!extract_directory(d)) s->refused_depth = d;
    }
}

int run_extract(int argc, char** argv) {
    if (argc < 2) return EXIT_COMPLETE;
    ExtractState* s = &g_state;
    platform_raise_handle_limit();
    if (!open_cursors(&s->archive, argv[1])) return EXIT_EARLY;
    bool usable = resolve_destination(argc > 2 ? argv[2] : ".");
    if (usable && argc > 3) {
        uint32_t n = strlen(argv[3]) < FILTER_BYTES ? filter_to_cesu8(argv[3], s->filter, FILTER_BYTES) : UINT32_MAX;
        usable = n != UINT32_MAX;
        s->filter_length = usable ? n : 0;
    }
    if (!usable) {
        close_cursors(&s->archive);
        return EXIT_EARLY;
    }
    s->root = platform_open_tree(argc > 2 ? argv[2] : ".", s->path.wide, s->archive.cursors.data_cursor);
    s->root_error = s->root == PLATFORM_NO_HANDLE ? platform_last_error() : 0;
    start_status();
    s->previous_depth = 0;
    walk();
    platform_close(s->root);
    s->root = PLATFORM_NO_HANDLE;
    close_cursors(&s->archive);
    console_out("\n");
    return finish_output(s->incomplete ? EXIT_INCOMPLETE : EXIT_COMPLETE);
}
