// untree-pack: one directory tree into one archive. The walk (walk.cpp)
// lists each directory, sorts its children and visits them depth first; the
// contents go straight into the archive as they are met (output.cpp), the
// names and records into the index, which is written behind them at the end.
#ifndef UNTREE_PACK_PACK_H
#define UNTREE_PACK_PACK_H

#include <stdarg.h>
#include <stdint.h>

#include "archive/writer.h"
#include "platform/platform.h"

enum {
    // The most content moved by one read or write, and the buffer that
    // gathers many small files for one write: small enough that what was
    // read and checksummed is still in the processor's cache when it is
    // written (1 MiB cost 4 to 7 % of the CPU time on the benchmark trees).
    PACK_CHUNK = 262144,
    // Room for the deepest path the walk can build: a root of the system's
    // longest path and 256 names below it (the last one to be refused).
    SOURCE_PATH_UNITS = PLATFORM_WIDE_PATH_UNITS + (DEPTH_LIMIT + 1) * PLATFORM_NAME_UNITS,
    WHY_BYTES = 1024,  // the system's text for an error, as error_text gives it
};

// The archive being written: a temporary file beside ARCHIVE until it is
// whole, then renamed to it, or a stream (standard output, a device).
struct ArchiveOutput {
    PlatformHandle handle;
    PlatformTarget target;
    const char* display;  // ARCHIVE as typed
    // Contents go from file to archive inside the kernel where it can copy
    // them (one copy instead of a read and a write); otherwise through this
    // buffer, many small files to a write.
    bool no_copy_range, no_send_file;
    // An extended archive: every content is read, its CRC-32C taken on the
    // way, and written from the buffer; no in-kernel copy, which would
    // keep the bytes from us.
    bool checksums;
    uint32_t crc;     // of the content being copied
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

// Opens ARCHIVE ("-": standard output) by the target rules. False, with a
// message on standard error, when it cannot.
bool output_open(ArchiveOutput* out, const char* archive_argument);
// Appends `length` bytes of the source file's content to the data region:
// exactly `length`, whatever the file holds by now (zeros where it ended
// early). Sets out->failed when the archive refused bytes.
CopyOutcome output_copy(ArchiveOutput* out, PlatformHandle source, uint64_t length);
// Appends bytes the packer holds itself (a link's target), the CRC-32C
// taken as for a copy.
void output_append(ArchiveOutput* out, const void* bytes, uint32_t length);
// Writes what is buffered and the index behind it, and puts the archive in
// place. False, with a message, when any step fails.
bool output_finish(ArchiveOutput* out, const IndexWriter* index);
// Gives the output up: a temporary file is removed.
void output_abandon(ArchiveOutput* out);
// Whether this file is the archive being written or the one it replaces.
bool output_leaves_out(const ArchiveOutput* out, uint64_t volume, uint64_t index);

// --- Messages (progress.cpp) ----------------------------------------------------
// Every line on standard error starts with the program's name. On a
// terminal a progress line stands below them, redrawn at most twice a
// second, and a summary ends the run.

void tell_list(const char* format, va_list args, const char* ending);
void tell(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void progress_start();
void progress_update(uint32_t directories, uint32_t files, uint64_t bytes);
// The last line on a terminal: what went into which archive.
void progress_finish(uint32_t directories, uint32_t files, uint64_t bytes, uint32_t reported, const char* archive);
// Clears the progress line (an early end).
void progress_clear();

// Absolute form of a command-line path with the long-path prefix where the
// system has one. Returns its length in units, 0 on failure.
uint32_t long_path_of(const char* argument, WideChar* out, uint32_t capacity);

// Packs SOURCE_DIR into ARCHIVE; returns the exit status.
// `plain`: the archive of the original rules, without modes, links or
// checksums (archive/extension.h).
int run_pack(const char* source_argument, const char* archive_argument, bool plain);

#endif
