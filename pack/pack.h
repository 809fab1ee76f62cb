// untree-pack: one directory tree into one archive. The walk (walk.cpp)
// lists each directory, sorts its children and visits them depth first; the
// contents go straight into the archive as they are met (output.cpp), the
// names and records into the index, which is written behind them at the end.
#ifndef UNTREE_PACK_PACK_H
#define UNTREE_PACK_PACK_H

#include <stdint.h>

#include "archive/writer.h"
#include "platform/platform.h"

enum {
    PACK_CHUNK = 1048576,  // the most content moved by one read or write
    // Room for the deepest path the walk can build: a root of the system's
    // longest path and 256 names below it (the last one to be refused).
    SOURCE_PATH_UNITS = PLATFORM_WIDE_PATH_UNITS + (DEPTH_LIMIT + 1) * PLATFORM_NAME_UNITS,
};

// Files at least this long are copied by the kernel where it can; shorter
// ones are read into the output buffer, so that many small files share one
// write.
static const uint64_t KERNEL_COPY_MIN = 262144;

// The archive being written: a temporary file beside ARCHIVE until it is
// whole, then renamed to it.
struct ArchiveOutput {
    PlatformHandle handle;
    WideChar final_path[PLATFORM_WIDE_PATH_UNITS];
    WideChar temporary_path[PLATFORM_WIDE_PATH_UNITS];
    const char* final_display;  // ARCHIVE as typed
    char* temporary_display;
    uint64_t volume, index;  // the temporary file's identity: the walk leaves it out
    bool identity_known;
    uint8_t* buffer;  // contents not yet written
    uint32_t fill;
    uint64_t data_bytes;
    bool failed;  // a write fell short: no archive
    uint32_t error;
};

struct CopyOutcome {
    uint64_t read;        // bytes of the file that went in; the rest are zeros
    uint32_t read_error;  // why reading stopped short, 0 at the end of the file
};

// Creates the temporary file beside the archive. False, with a message on
// standard error, when it cannot.
bool output_open(ArchiveOutput* out, const char* archive_argument);
// Appends `length` bytes of the source file's content to the data region:
// exactly `length`, whatever the file holds by now (zeros where it ended
// early). Sets out->failed when the archive refused bytes.
CopyOutcome output_copy(ArchiveOutput* out, PlatformHandle source, uint64_t length);
// Writes what is buffered and the index behind it, closes and renames the
// temporary file to the archive. False, with a message, when any step fails.
bool output_finish(ArchiveOutput* out, const IndexWriter* index);
// Closes and removes the temporary file: no archive.
void output_abandon(ArchiveOutput* out);
bool output_is_own_file(const ArchiveOutput* out, PlatformHandle file);

// Absolute form of a command-line path with the long-path prefix where the
// system has one. Returns its length in units, 0 on failure.
uint32_t long_path_of(const char* argument, WideChar* out, uint32_t capacity);

// The system's text for an error, without a trailing line break.
const char* error_text(uint32_t code);

// Packs SOURCE_DIR into ARCHIVE; returns the exit status.
int run_pack(const char* source_argument, const char* archive_argument);

#endif
