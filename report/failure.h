// The lines on standard error that say what did not come out.
#ifndef UNTREE_REPORT_FAILURE_H
#define UNTREE_REPORT_FAILURE_H

#include <stdint.h>

#include "archive/format.h"
#include "platform/platform.h"

// The system's text for the last error, control bytes blanked.
const char* system_error_text();
const char* error_text_for(uint32_t code);

void report_create_failure(const WideChar* path, const EntryRecord& record, uint32_t code);
void report_directory_failure(const WideChar* path, const EntryRecord& record, uint32_t code);
// A file kept as --keep-newer-files asks: the one there is newer.
void report_kept_newer(const WideChar* path);
void report_short_content(const WideChar* path, uint64_t size, uint64_t written, const char* reason);
// A call on an entry already made that failed: the entry is there, but not
// as the archive has it (its times, its attribute word), or its content may
// not have reached the disk (its close).
// CALL_SET_PERMISSIONS takes the mode for `attributes`; CALL_MAKE_LINK
// none.
enum EntryCall { CALL_SET_TIMES,
                 CALL_SET_ATTRIBUTES,
                 CALL_CLOSE,
                 CALL_SET_PERMISSIONS,
                 CALL_MAKE_LINK };
void report_call_failure(EntryCall call, const WideChar* path, uint32_t attributes, uint32_t code);
// The relative path of `length` bytes, which may hold a NUL.
void report_unsafe_name(const char* relative, uint32_t length);
void report_corrupt(int32_t entry_number, const char* reason);
// Damage the walk over the index found in no one entry (0) or in one.
void report_index_damage(int32_t entry_number, const char* reason);
// A content that does not match its checksum: kept as it came.
void report_checksum_mismatch(const WideChar* path);
// An entry whose name an earlier sibling took, skipped with what is inside it.
void report_duplicate(const char* relative, uint32_t length, int32_t entry_number, int32_t same_as);
// The file entries' contents do not fill the data region exactly.
void report_lengths(uint64_t contents, uint64_t name_region);
void report_not_archive(const char* archive, const char* reason);
// The system's text for an error as the end of a line of its own: without
// the blanks its line break became.
const char* early_error_text(uint32_t code);
// A line on standard error for a run that cannot start: "untree: " and the text.
void say_early(const char* format, ...);
// The end of a run that printed: standard output is flushed, and when any of
// it was lost, one line says why and `status` becomes incomplete.
int finish_output(int status);

#endif
