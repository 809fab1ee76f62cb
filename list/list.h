// untree-list: an archive's index shown, or checked, without reading a byte
// of content. One process-wide state record, like the extractor's: every
// buffer is a fixed member, and only the check of sibling names grows (the
// names of the directories the walk is in, as hashes).
#ifndef UNTREE_LIST_H
#define UNTREE_LIST_H

#include <stdint.h>

#include "archive/cursors.h"
#include "archive/extension.h"
#include "archive/format.h"
#include "archive/index.h"
#include "archive/names.h"

enum ListMode {
    MODE_LONG,   // one line per entry: kind, attributes, size, time, path
    MODE_NAMES,  // the path alone
    MODE_JSON,   // one JSON object per entry
    MODE_CHECK,  // every problem of the index, then the totals
};

enum {
    OUT_BYTES = 65536,
};

// One name of a directory the walk is in: two 64-bit hashes stand in for
// the name (exact, and with case folded), so memory stays at 24 bytes a
// name; two different names share both only by a chance of about 2^-64.
struct SiblingKey {
    uint64_t exact;
    uint64_t folded;
    int32_t entry;
    uint32_t depth;
    bool directory;
};

// The keys form a stack in walk order (the names of the innermost directory
// on top, dropped when the walk leaves it), found through an open-addressed
// table of their positions.
struct SiblingTable {
    SiblingKey* keys;
    uint32_t count;
    uint32_t capacity;
    uint32_t* slots;      // index + 1 into keys; 0 is free
    uint32_t slot_count;  // a power of two, more than twice count
};

struct ListTotals {
    uint64_t entries;
    uint64_t directories;
    uint64_t files;
    uint64_t bytes;  // content lengths of the files, summed (stops at 2^64 - 1)
    uint64_t errors;
    uint64_t warnings;
};

struct ListState {
    ArchiveReader archive;
    const char* archive_path;
    ListMode mode;
    bool summary_only;
    char filter[FILTER_BYTES];
    uint32_t filter_length;

    // The walk over the index, the one untree makes before it writes: the
    // entry being looked at, its path and what untree makes of it.
    IndexWalk walk;
    bool names_ended_said;  // the entry where the name lines ended has its line

    ListTotals totals;
    ExtensionCheck extension;           // what the walk finds of the extension
    bool index_only;                    // --check-index: no content is read
    uint64_t data_position;             // data-region bytes consumed so far
    uint8_t target[LINK_TARGET_LIMIT];  // a link's target, for the listing
    uint32_t target_length;
    SiblingTable siblings;

    // The progress line of a check that reads contents: only on a terminal,
    // for the eye alone, and gone before any other line and at the end.
    bool progress;
    uint32_t progress_due;  // tick count at which the next line may show

    char out[OUT_BYTES];  // standard output, sent on in whole characters
    uint32_t out_used;
    bool out_terminal;
    bool out_to_stderr;  // a message is being put together
};

extern ListState g_list;

// The run, once the options are in g_list; returns the exit status.
int run_list();

// --- Checks (check.cpp) -----------------------------------------------------
enum Severity { SEVERITY_ERROR,
                SEVERITY_WARNING };
// A problem of the current entry (with its path when known), or of the whole
// archive. In a listing a problem stops the walk: the caller stops.
void entry_problem(Severity severity, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void archive_problem(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The checks of one name, after it has been placed, with the walk's
// verdict; false when memory for the names of its directory ran out.
bool check_name();
// The walk has left every directory deeper than `depth`.
void leave_siblings(uint32_t depth);
void release_siblings();

// --- Output (show.cpp) ------------------------------------------------------
void out_text(const char* text);
void out_bytes(const char* bytes, uint32_t count);
void out_u64(uint64_t value);
void out_end_line();
// Sends what is buffered on; the error that lost some of standard output,
// 0 when everything reached it.
uint32_t out_finish();
// A line on standard error, "untree-list: " and the text, after everything
// buffered for standard output; or put together with the out_ calls
// between message_begin and message_end.
void message(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void message_begin();
void message_end();
// The current entry's path as shown: names joined by "\", characters as
// UTF-8, everything that could be mistaken or garble a terminal as \xNN.
void out_path();
void show_entry();
void show_totals();
// Does the name hold only characters (no undecodable bytes, no lone
// surrogates)?
bool name_is_text(const uint8_t* bytes, uint32_t count);

#endif
