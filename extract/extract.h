// The extractor's one process-wide state record. Every buffer, table and
// counter of a run lives here, allocated once with the program image and
// never freed; nothing is allocated per entry.
#ifndef UNTREE_EXTRACT_H
#define UNTREE_EXTRACT_H

#include "archive/cursors.h"
#include "archive/format.h"
#include "archive/names.h"
#include "platform/platform.h"
#include "report/status.h"

// What the extractor refuses of a name before it makes anything, where the
// system would not keep the name (platform_windows_names); with the codes of
// PlatformRefusal, where no system puts its own.
enum NameRefusal {
    REFUSED_TRAILING_DOT_OR_BLANK = 0x20000101,
    REFUSED_DEVICE_NAME,
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
    uint32_t level_start[LEVELS];       // offset of the name at depth k in narrow
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
};

struct ExtractCounters {
    int32_t dirs;
    int32_t files;
    uint64_t outbytes;
};

struct ExtractState {
    ArchiveReader archive;              // cursors, name reader, copy buffer
    PathBuilder path;
    PendingDirectoryTable pending;
    char filter[FILTER_BYTES];
    uint32_t filter_length;
    StatusThrottle status;
    ExtractCounters counters;
    EntryRecord record;                 // the record being processed
    int32_t previous_depth;
    int32_t entry_number;               // counted from 1
    int32_t refused_depth;              // depth of a refused subtree, -1 when none
    bool previous_was_directory;
    PlatformHandle output;
    PlatformHandle root;                // the destination, held for the run
    uint32_t root_error;                // why it could not be opened
    bool incomplete;                    // something selected was not extracted in full
    char error_text[ERROR_TEXT_BYTES];
};

extern ExtractState g_state;

// The whole run: arguments as the program received them (UTF-8), exit status.
int run_extract(int argc, char** argv);
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
void finish_file(PlatformHandle output, const EntryRecord& record);

// --- Selection and listing --------------------------------------------------
void list_entry(const char* relative, uint32_t length);
bool select_entry(const char* relative);

#endif
