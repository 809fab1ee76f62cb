// The extractor's one process-wide state record. Every buffer, table and
// counter of a run lives here, allocated once with the program image and
// never freed; nothing is allocated per entry.
#ifndef UNTREE_EXTRACT_H
#define UNTREE_EXTRACT_H

#include "archive/cursors.h"
#include "archive/extension.h"
#include "archive/format.h"
#include "archive/index.h"
#include "archive/names.h"
#include "platform/platform.h"
#include "report/status.h"

// What the extractor refuses of a name before it makes anything, where the
// system would not keep the name (platform_windows_names); with the codes of
// PlatformRefusal, where no system puts its own.
enum NameRefusal {
    REFUSED_TRAILING_DOT_OR_BLANK = 0x20000101,
    REFUSED_DEVICE_NAME,
    REFUSED_LINK_TOO_LONG,
};

enum {
    NARROW_PATH_BYTES = PATH_BUFFER_BYTES,
    WIDE_PATH_UNITS = PATH_BUFFER_UNITS,
    LEVELS = 256,
    ERROR_TEXT_BYTES = 32768,
    REPORT_PATH_BYTES = 65536,
};

// The current entry's path, narrow (CESU-8, prefix + root + "\" + names) and
// wide, edited in place: a new entry only rewrites the tail from its depth on.
struct PathBuilder {
    char narrow[NARROW_PATH_BYTES];
    uint32_t level_start[LEVELS];  // offset of the name at depth k in narrow
    WideChar wide[WIDE_PATH_UNITS];
    uint32_t wide_level_start[LEVELS];  // the same positions in wide
    bool component_safe;                // the last placed name cannot leave its parent
    uint32_t narrow_end;                // where narrow ends: a name may hold a NUL
};

// The directories the walk is in, one per depth, each held open: the entries
// at depth d are made through the handle at d - 1 (the root's at depth 0).
// Those this run made wait here for their times until the walk has left
// their subtree, since every entry made inside them moves those times; those
// that were there already are only a way in, with no times to set.
struct PendingDirectoryTable {
    PlatformHandle handles[LEVELS];
    uint64_t write_times[LEVELS];
    uint64_t access_times[LEVELS];
    uint64_t creation_times[LEVELS];
    uint16_t modes[LEVELS];  // the extension's mode, set after the times; 0: none
};

struct ExtractCounters {
    int32_t dirs;
    int32_t files;
    uint64_t outbytes;
};

// What the walk over the index found before anything was written, per
// entry two bits: a duplicate to skip, a directory merged into an earlier
// one; and, for each merged one in order, its entry and the entry it is
// merged into.
enum EntryMark { MARK_DUPLICATE = 1,
                 MARK_MERGED = 2 };
struct IndexSurvey {
    uint8_t* marks;         // four entries a byte
    uint8_t* made;          // a bit per entry: a directory this run created
    uint32_t* merged_into;  // pairs: entry, the entry it is merged into
    uint32_t merged_count;
    uint32_t merged_capacity;
    uint32_t merged_next;  // the next merged directory the extraction meets
    int32_t stop_entry;    // where the walk stops (0: none); said already
};

// One FILTER of the command line.
struct Filter {
    const char* argument;  // as typed, for the line that says it is not there
    char* text;            // in the names' encoding, backslashes between names
    uint32_t length;
    bool reached;  // an entry of the archive is it or lies inside it
};

// The options, as the command line gave them.
struct ExtractOptions {
    bool quiet;         // no listing, no status line
    bool to_stdout;     // contents to standard output, nothing created
    bool skip_old;      // a file kept by EXISTING_KEPT is not reported
    uint32_t existing;  // ExistingFileRule
};

struct ExtractState {
    ArchiveReader archive;  // cursors, name reader, copy buffer
    IndexWalk walk;
    IndexSurvey survey;
    PathBuilder path;
    PendingDirectoryTable pending;
    ExtractOptions options;
    Filter* filters;  // allocated once, at start
    uint32_t filter_count;
    StatusThrottle status;
    ExtractCounters counters;
    EntryRecord record;  // the record being processed
    int32_t previous_depth;
    int32_t entry_number;   // counted from 1
    int32_t refused_depth;  // depth of a refused subtree, -1 when none
    bool previous_was_directory;
    PlatformHandle output;
    PlatformHandle root;       // the destination, held for the run
    bool incomplete;           // something selected was not extracted in full
    ExtensionCheck extension;  // what the walk over the index found of the extension
    uint32_t permission_mask;  // the archived permission bits the system gets
    uint8_t link_target[LINK_TARGET_LIMIT];
    uint32_t output_lost;           // with to_stdout: why standard output refused more
    const char* destination_fault;  // why the destination cannot be used
    char error_text[ERROR_TEXT_BYTES];
};

extern ExtractState g_state;

// The whole run: the program's name then its operands (UTF-8), ARCHIVE
// [DESTINATION [FILTER...]], or ARCHIVE [FILTER...] with to_stdout; the
// options are in g_state.options already. Returns the exit status.
int run_extract(int argc, char** argv);
// The operands from `first` on as the FILTERs of the run; false, with the
// message said, when one is too long.
bool take_filters(int argc, char** argv, int first);
// Gives back what take_filters took, for a run in the same process after it.
void release_filters();

// Back to the start values, so tests can run the extractor more than once.
void reset_extract_state();

// --- Path building and the coders ------------------------------------------
bool resolve_destination(const char* argument);
// False when the name does not fit the path buffers.
bool place_name(int depth, const uint8_t* line, uint32_t length);
// The whole narrow path into the wide buffer.
void decode_path_utf8();
// UTF-16 to CESU-8, cut at a unit boundary to fit; always NUL-terminated.
// The first `system_units` units are the system's text (prefix and root):
// the bytes it carries as escaped units come back as themselves.
void encode_path_utf8(const WideChar* wide, char* out, uint32_t capacity, uint32_t system_units = 0);
// The entry's path below the root, and its length in bytes (it may hold a NUL).
inline const char* relative_path() { return g_state.path.narrow + g_state.path.level_start[0]; }
inline uint32_t relative_length() { return g_state.path.narrow_end - g_state.path.level_start[0]; }

// --- Directory finalisation and metadata -------------------------------------
// `created`: this run made it, and it gets the record's times at the sweep.
void open_pending_directory(int depth, const EntryRecord& record, PlatformHandle held, bool created);
void finalize_directories(int from_depth, int to_depth);
// `mode`: the permission bits still to be set (restored_mode, less what the
// file was made with), or -1.
void finish_file(PlatformHandle output, const EntryRecord& record, int32_t mode);
// The permission bits an entry of the extension gets here, or -1 when none
// are set (a plain archive, a mode not known, a system without them).
int32_t restored_mode(const EntryRecord& record);

// --- Selection and listing --------------------------------------------------
// Prints the listing line (unless the options keep standard output for
// other things) and notes which FILTERs the entry answers.
void list_entry(const char* relative, uint32_t length);
bool select_entry(const char* relative);
// One line for each FILTER that nothing in the archive answered; true when
// there was one.
bool report_filters_not_found();

#endif
