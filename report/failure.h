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
void report_short_content(const WideChar* path, uint64_t size, uint64_t written, const char* reason);
// A call on an entry already made that failed: the entry is there, but not
// as the archive has it (its times, its attribute word), or its content may
// not have reached the disk (its close).
enum EntryCall { CALL_SET_TIMES, CALL_SET_ATTRIBUTES, CALL_CLOSE };
void report_call_failure(EntryCall call, const WideChar* path, uint32_t attributes, uint32_t code);
// The relative path of `length` bytes, which may hold a NUL.
void report_unsafe_name(const char* relative, uint32_t length);
void report_corrupt(int32_t entry_number, const char* reason);
// The end of a run that printed: standard output is flushed, and when any of
// it was lost, one line says why and `status` becomes incomplete.
int finish_output(int status);

#endif
