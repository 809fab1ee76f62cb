// The extractor's entry and its only loop: one record at a time, a name line
// each, directories created and held for their times, files filled from the
// data region.
#include <stdlib.h>
#include <string.h>

#include "archive/checksum.h"

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
    free(g_state.survey.marks);
    free(g_state.survey.made);
    free(g_state.survey.merged_into);
    release_filters();
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
// their own bytes. With `crc`, every byte passes through the window and is
// checksummed on its way: the kernel's copy would keep it from us.
static CopyResult copy_content(uint64_t length, PlatformHandle output, uint32_t* crc) {
    CopyResult result = {0, 0, 0};
    ArchiveReader* archive = &g_state.archive;
    uint64_t kernel_min = crc ? UINT64_MAX : kernel_copy_min(archive);
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
        if (crc) *crc = crc32c(*crc, bytes, n);
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
    *why = platform_error_path_not_found();
    return d == 0 ? g_state.root : g_state.pending.handles[d - 1];
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

static uint32_t entry_mark(int32_t entry) {
    const uint8_t* marks = g_state.survey.marks;
    uint32_t i = (uint32_t)entry;
    return marks ? (marks[i / 4] >> (2 * (i % 4))) & 3 : 0;
}

static void set_bit(uint8_t* bits, int32_t entry) {
    bits[(uint32_t)entry / 8] |= (uint8_t)(1u << ((uint32_t)entry % 8));
}

static bool bit_set(const uint8_t* bits, int32_t entry) {
    return bits && (bits[(uint32_t)entry / 8] >> ((uint32_t)entry % 8)) & 1;
}

// A directory listed again whose first copy this run made: it gets its
// archived times again once its second subtree is written.
static bool merged_into_made() {
    IndexSurvey* v = &g_state.survey;
    uint32_t entry = (uint32_t)g_state.entry_number;
    if (!(entry_mark(g_state.entry_number) & MARK_MERGED)) return false;
    // Those passed over (not selected, inside one refused) are left behind.
    while (v->merged_next < v->merged_count && v->merged_into[2 * (size_t)v->merged_next] < entry) v->merged_next++;
    if (v->merged_next == v->merged_count || v->merged_into[2 * (size_t)v->merged_next] != entry) return false;
    return bit_set(v->made, (int32_t)v->merged_into[2 * v->merged_next + 1]);
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
    bool merged_made = merged_into_made();
    if (refused) {
        // Nothing inside it could be made by its name either.
        code = refused;
        result = DIRECTORY_REFUSED;
    } else if (parent != PLATFORM_NO_HANDLE) {
        result = platform_enter_directory(parent, entry_name(d), record.attributes, merged_made, &held);
        code = platform_last_error();
    }
    if (result == DIRECTORY_CREATED_BARE) {
        g_state.incomplete = true;
        report_call_failure(CALL_SET_ATTRIBUTES, g_state.path.wide, record.attributes, code);
        result = DIRECTORY_CREATED;
    }
    if (result == DIRECTORY_CREATED && g_state.survey.made) set_bit(g_state.survey.made, g_state.entry_number);
    if (result == DIRECTORY_CREATED || result == DIRECTORY_EXISTING) {
        open_pending_directory(d, record, held, result == DIRECTORY_CREATED || merged_made);
        return true;
    }
    g_state.incomplete = true;
    report_directory_failure(g_state.path.wide, record, code);
    // What goes inside one that could not be made fails on its own, each
    // entry with a line. One that is there but not entered (a link, or no
    // handle left to hold it) is passed over with everything inside it.
    return result == DIRECTORY_NOT_MADE;
}

// What the user asked to keep is kept: without a word, or with a line that
// is no failure. True when `code` is a failure the caller reports.
static bool report_unless_kept(const WideChar* path, uint32_t code) {
    const ExtractOptions& options = g_state.options;
    if (code == PLATFORM_REFUSED_NEWER) {
        report_kept_newer(path);
        return false;
    }
    return !((options.existing & EXISTING_KEPT) && options.skip_old && code == platform_error_already_exists());
}

// A symbolic link of the extension: its target is its content, read whole
// and checked before anything is made. Never followed, now or later: what
// stands at its name afterwards is refused as a link.
static void extract_link(int d) {
    const EntryRecord& record = g_state.record;
    const WideChar* path = g_state.path.wide;
    uint64_t length = content_length(record);
    g_state.counters.files++;
    uint32_t got = 0;
    if (length < LINK_TARGET_LIMIT) {
        while (got < length) {
            const uint8_t* bytes;
            uint32_t n = data_take(&g_state.archive, length - got, &bytes);
            if (n == 0) break;
            memcpy(g_state.link_target + got, bytes, n);
            got += n;
        }
    }
    skip_content(length - got);
    uint32_t code = 0;
    PlatformHandle parent = parent_of(d, &code);
    bool was_incomplete = g_state.incomplete;
    g_state.incomplete = true;  // unless it is made below
    if (length >= LINK_TARGET_LIMIT) {
        report_create_failure(path, record, REFUSED_LINK_TOO_LONG);
    } else if (got < length) {
        report_short_content(path, length, got, "archive ends early");
    } else if (crc32c(0, g_state.link_target, got) != entry_extension(record).content_crc) {
        // A link to a damaged target is not made: it could lead anywhere.
        report_checksum_mismatch(path);
    } else if ((code = name_refusal(d)) != 0 || parent == PLATFORM_NO_HANDLE) {
        report_create_failure(path, record, code);
    } else if (!platform_make_link(parent, entry_name(d), path, (const char*)g_state.link_target, got,
                                   g_state.options.existing, record.access_time, record.write_time)) {
        code = platform_last_error();
        if (report_unless_kept(path, code)) report_call_failure(CALL_MAKE_LINK, path, 0, code);
        else g_state.incomplete = was_incomplete;  // kept, as the user asked
    } else {
        g_state.incomplete = was_incomplete;
    }
}

// Contents to standard output: the bytes alone, nothing made. Once it
// refuses them, that is said once, and the rest is passed over.
static void write_to_stdout() {
    ExtractState* s = &g_state;
    uint64_t length = content_length(s->record);
    s->counters.files++;
    if (s->output_lost) {
        skip_content(length);
        return;
    }
    bool checked = s->extension.extended;
    uint32_t crc = 0;
    CopyResult copy = copy_content(length, platform_standard_output(), checked ? &crc : 0);
    if (copy.written == length) {
        if (checked && crc != entry_extension(s->record).content_crc) {
            s->incomplete = true;
            report_checksum_mismatch(s->path.wide);
        }
        return;
    }
    s->incomplete = true;
    if (copy.error) {
        s->output_lost = copy.error;
        console_err("standard output: %s\n", error_text_for(copy.error));
    } else {
        report_short_content(s->path.wide, length, copy.written, "archive ends early");
    }
}

static void extract_file(int d) {
    const EntryRecord& record = g_state.record;
    const ExtractOptions& options = g_state.options;
    const WideChar* path = g_state.path.wide;
    uint64_t length = content_length(record);
    g_state.counters.files++;
    uint32_t code;
    PlatformHandle parent = parent_of(d, &code);
    PlatformHandle output = PLATFORM_NO_HANDLE;
    int32_t mode = restored_mode(record);  // what is left to set once the file is written
    uint32_t refused = name_refusal(d);
    if (refused) {
        code = refused;
    } else if (parent != PLATFORM_NO_HANDLE) {
        output = platform_create_file(parent, entry_name(d), record.attributes, &mode, options.existing,
                                      record.write_time);
        if (output == PLATFORM_NO_HANDLE) code = platform_last_error();
    }
    g_state.output = output;
    if (output == PLATFORM_NO_HANDLE) {
        if (report_unless_kept(path, code)) {
            g_state.incomplete = true;
            report_create_failure(path, record, code);
        }
        skip_content(length);
        return;
    }
    bool checked = g_state.extension.extended;
    uint32_t crc = 0;
    CopyResult copy = copy_content(length, output, checked ? &crc : 0);
    if (copy.written < length) {
        g_state.incomplete = true;
        const char* reason = copy.error ? error_text_for(copy.error) : "archive ends early";
        report_short_content(path, length, copy.written, reason);
    } else if (checked && crc != entry_extension(record).content_crc) {
        // Kept as it came, for salvage: the line says not to trust it.
        g_state.incomplete = true;
        report_checksum_mismatch(path);
    }
    finish_file(output, record, mode);
    g_state.output = PLATFORM_NO_HANDLE;
}

// Why the index could not be read whole, or cannot be trusted.
static const char* index_fault_text() {
    const ArchiveReader& archive = g_state.archive;
    return archive.index_error ? error_text_for(archive.index_error) : archive.index_fault;
}

// Standard output is the user's for other things: empty (quiet), or the
// contents alone.
static bool standard_output_kept() { return g_state.options.quiet || g_state.options.to_stdout; }

// Stops a walk that cannot go on: the subtrees already written still get
// their times and the counts are shown once more.
static void stop_corrupt(const char* reason, bool status_shown) {
    report_corrupt(g_state.entry_number, reason);
    g_state.incomplete = true;
    if (!status_shown && !standard_output_kept()) status_final();
    finalize_directories(g_state.previous_depth, 0);
}

// --- The walk over the index, before anything is written ---------------------

static bool remember_merged(uint32_t entry, uint32_t into) {
    IndexSurvey* v = &g_state.survey;
    if (v->merged_count == v->merged_capacity) {
        uint32_t capacity = v->merged_capacity ? v->merged_capacity * 2 : 64;
        uint32_t* grown = (uint32_t*)realloc(v->merged_into, (size_t)capacity * 2 * sizeof(uint32_t));
        if (!grown) return false;
        v->merged_into = grown;
        v->merged_capacity = capacity;
    }
    v->merged_into[2 * (size_t)v->merged_count] = entry;
    v->merged_into[2 * v->merged_count + 1] = into;
    v->merged_count++;
    return true;
}

// Why the walk stops at the entry it is at, or null.
static const char* stop_reason(const IndexWalk* w) {
    if (w->nesting) return w->nesting;
    if (w->name_fault == NAME_FAULT_LINES_ENDED) return line_fault(LINE_END);
    if (w->name_fault == NAME_FAULT_LINE_TOO_LONG) return line_fault(LINE_TOO_LONG);
    if (w->name_fault == NAME_FAULT_PATH_TOO_LONG) return "path too long";
    return 0;
}

// One pass over the records and name lines: where the extraction must stop,
// which entries are duplicates, whether the lengths add up, whether the
// index is what was written; all of it said before the first entry is
// written. The extraction then goes by it. False
// when there is no memory for it.
static bool survey_index() {
    ExtractState* s = &g_state;
    IndexSurvey* v = &s->survey;
    IndexWalk* w = &s->walk;
    uint64_t entries = s->archive.trailer.records_size / RECORD_BYTES + 1;
    v->marks = (uint8_t*)calloc((size_t)(entries / 4 + 1), 1);
    v->made = (uint8_t*)calloc((size_t)(entries / 8 + 1), 1);
    uint32_t room_bytes = NARROW_PATH_BYTES - 1 - s->path.level_start[0];
    uint32_t room_units = WIDE_PATH_UNITS - 1 - s->path.wide_level_start[0];
    if (!v->marks || !v->made) return false;
    // The checksums of the index are taken on the same pass: what they find
    // is told after this, still before anything is written.
    extension_begin(&s->archive, &s->extension);
    if (!index_begin(w, &s->archive, room_bytes, room_units, &s->extension)) return false;
    const char* stop = 0;
    bool whole = false, fits = true;
    for (;;) {
        IndexStep step = index_step(w);
        if (step == INDEX_END || step == INDEX_RECORD_CUT) {
            if (step == INDEX_RECORD_CUT && !stop) {
                stop = "record region does not end on a record";
                v->stop_entry = w->entry_number;
            }
            whole = true;
            break;
        }
        if (step == INDEX_UNREADABLE) {
            if (!stop) {
                stop = index_fault_text();
                v->stop_entry = w->entry_number;
            }
            break;
        }
        if (stop) continue;  // only the lengths still count
        if ((stop = stop_reason(w)) != 0) {
            v->stop_entry = w->entry_number;
            continue;
        }
        uint32_t i = (uint32_t)w->entry_number;
        if (w->verdict == VERDICT_DUPLICATE) {
            v->marks[i / 4] |= (uint8_t)(MARK_DUPLICATE << (2 * (i % 4)));
            if (select_entry(w->path)) {
                report_duplicate(w->path, index_path_bytes(w), w->entry_number, w->same_as);
                s->incomplete = true;
            }
        } else if (w->verdict == VERDICT_MERGED) {
            v->marks[i / 4] |= (uint8_t)(MARK_MERGED << (2 * (i % 4)));
            fits = fits && remember_merged(i, (uint32_t)w->same_as);
        }
    }
    index_end(w);
    if (!fits) return false;
    if (stop) {
        report_corrupt(v->stop_entry, stop);
        s->incomplete = true;
    }
    uint64_t data = index_data_region(&s->archive);
    if (whole && w->contents != data) {
        report_lengths(w->contents, data);
        s->incomplete = true;
    }
    // Should the index not be reached again, the extraction's first read says so.
    rewind_index(&s->archive);
    return true;
}

static void walk() {
    ExtractState* s = &g_state;
    for (;;) {
        RecordResult result = read_record(&s->archive, &s->record);
        s->entry_number++;
        if (s->entry_number == s->survey.stop_entry) {
            // Said already, before anything was written.
            status_check(true);
            finalize_directories(s->previous_depth, 0);
            return;
        }
        const char* corrupt = 0;
        if (result == RECORD_CORRUPT)
            corrupt = s->archive.index_fault ? index_fault_text() : "record region does not end on a record";
        else if (result == RECORD_ENTRY)
            corrupt = nesting_fault(s->record, s->entry_number, s->previous_depth, s->previous_was_directory);
        bool stop = result != RECORD_ENTRY || corrupt;
        if (!standard_output_kept()) status_check(stop);
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
        if (entry_mark(s->entry_number) & MARK_DUPLICATE) {
            // Said before the walk, the first one stays.
            if (directory) s->refused_depth = d;
            skip_content(length);
            continue;
        }
        if (s->options.to_stdout) {
            // A link's target is no content of a file: nothing to write.
            if (directory) continue;
            if (s->extension.extended && is_link(s->record)) skip_content(length);
            else write_to_stdout();
        } else if (!directory && s->extension.extended && is_link(s->record)) {
            extract_link(d);
        } else if (!directory) {
            extract_file(d);
        } else if (!extract_directory(d)) {
            s->refused_depth = d;
        }
    }
}

// Whether `path` opens as an archive would.
static bool opens_as_archive(const char* path) {
    PlatformHandle h = platform_open_read(path);
    platform_close(h);
    return h != PLATFORM_NO_HANDLE;
}

// Why ARCHIVE cannot be read, in words; `next` is the operand after it, or
// null.
static void say_archive_fault(const char* archive, const char* next) {
    uint32_t error = platform_last_error();
    const char* shown = console_name(CONSOLE_ERR, archive, (uint32_t)strlen(archive));
    if (next && opens_as_archive(next))
        say_early("cannot open archive <%s>: %s (ARCHIVE comes first: untree ARCHIVE DESTINATION)", shown,
                  early_error_text(error));
    else if (error == platform_error_not_a_file())
        say_early(
            "cannot read archive <%s>: not a file; an archive is read from its end, so it needs a file, "
            "not a pipe or a device",
            shown);
    else
        say_early("cannot open archive <%s>: %s", shown, early_error_text(error));
}

int run_extract(int argc, char** argv) {
    if (argc < 2) return EXIT_COMPLETE;
    ExtractState* s = &g_state;
    const bool to_stdout = s->options.to_stdout;
    const char* destination = !to_stdout && argc > 2 ? argv[2] : ".";
    if (strcmp(argv[1], "-") == 0) {
        say_early(
            "an archive is read from its end, so it cannot come through standard input (\"-\"): "
            "name its file");
        return EXIT_EARLY;
    }
    platform_raise_handle_limit();
    if (!open_cursors(&s->archive, argv[1])) {
        say_archive_fault(argv[1], argc > 2 ? argv[2] : 0);
        return EXIT_EARLY;
    }
    char why[256];
    if (const char* reason = not_a_tree_archive(&s->archive, why)) {
        report_not_archive(argv[1], reason);
        close_cursors(&s->archive);
        return EXIT_EARLY;
    }
    bool usable = resolve_destination(destination);
    if (!usable)
        say_early("cannot use destination <%s>: %s",
                  console_name(CONSOLE_ERR, destination, (uint32_t)strlen(destination)), s->destination_fault);
    usable = usable && take_filters(argc, argv, to_stdout ? 2 : 3);
    if (usable && !to_stdout) {
        // Opened once, here: a destination that is not there, or is no
        // directory, is said once and nothing is attempted (nor created).
        s->root = platform_open_tree(destination, s->path.wide, s->archive.cursors.data_cursor);
        if (s->root == PLATFORM_NO_HANDLE) {
            say_early("cannot open destination <%s>: %s",
                      console_name(CONSOLE_ERR, destination, (uint32_t)strlen(destination)),
                      early_error_text(platform_last_error()));
            usable = false;
        }
    }
    if (!usable) {
        close_cursors(&s->archive);
        return EXIT_EARLY;
    }
    if (!survey_index()) {
        console_err("not enough memory for the index of <%s>\n", argv[1]);
        platform_close(s->root);
        s->root = PLATFORM_NO_HANDLE;
        close_cursors(&s->archive);
        return EXIT_EARLY;
    }
    // Damage the index checksums found is told before anything is written.
    s->permission_mask = platform_permission_mask();
    if (s->extension.fault) report_index_damage(0, s->extension.fault);
    if (s->extension.entry) report_index_damage(s->extension.entry, s->extension.entry_fault);
    if (s->extension.fault || s->extension.entry) s->incomplete = true;
    // A damaged record or name stops the walk there, as the other faults do.
    if (s->extension.entry && (s->survey.stop_entry == 0 || s->extension.entry < s->survey.stop_entry))
        s->survey.stop_entry = s->extension.entry;
    start_status();
    s->previous_depth = 0;
    walk();
    platform_close(s->root);
    s->root = PLATFORM_NO_HANDLE;
    close_cursors(&s->archive);
    if (!standard_output_kept()) console_out("\n");
    if (report_filters_not_found()) s->incomplete = true;
    return finish_output(s->incomplete ? EXIT_INCOMPLETE : EXIT_COMPLETE);
}
