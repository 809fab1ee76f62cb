// Reading an archive through three independent cursors: contents forward from
// offset 0, names and records from where the trailer says they start. Each
// cursor is read through a buffer of its own, so the walk sees 40-byte
// records, whole name lines and content bytes without a system call apiece.
#ifndef UNTREE_ARCHIVE_CURSORS_H
#define UNTREE_ARCHIVE_CURSORS_H

#include "archive/format.h"
#include "platform/platform.h"

enum {
    COPY_CHUNK = 1048576,  // the most content moved by one read or write
    // The most content read into the window at once: small enough that the
    // bytes are still in the processor's cache when they are checksummed
    // and written on (an extended archive's contents go through it whole;
    // 1 MiB cost /usr/include 5 % more, and a 400 MB file's check 3 %).
    WINDOW_BYTES = 262144,
    NAME_BLOCK = 65536,
    RECORD_BLOCK = 40 * 1638,  // whole records, just under 64 KiB
};

struct ArchiveCursors {
    PlatformHandle data_cursor;
    PlatformHandle record_cursor;
    PlatformHandle name_cursor;
};

struct NameLineReader {
    uint8_t block[NAME_BLOCK];
    uint32_t fill;
    uint32_t position;
    uint64_t remaining;  // name-region bytes not yet read into the block
    uint8_t line[NAME_LINE_LIMIT];
    uint32_t line_length;
};

struct RecordReader {
    uint8_t block[RECORD_BLOCK];
    uint32_t fill;
    uint32_t position;
    uint32_t records_read;
};

// The data region, read ahead through a window that is also the copy buffer.
struct DataReader {
    uint8_t window[WINDOW_BYTES];
    uint32_t window_fill;
    uint32_t window_position;
    uint64_t remaining;        // data-region bytes not yet read from the cursor
    uint32_t read_error;       // why the last read brought nothing: the system's error, 0 at the end
    bool kernel_copy_refused;  // the platform had no in-kernel copy once: not asked again
};

struct ArchiveReader {
    ArchiveCursors cursors;
    ArchiveTrailer trailer;
    uint64_t file_size;
    const char* index_fault;  // why the index cannot be trusted, or null
    uint32_t index_error;     // the system's error when that is a failed read, else 0
    bool index_unreadable;    // the index came back shorter than the trailer promised
    NameLineReader names;
    RecordReader records;
    DataReader data;
};

enum RecordResult { RECORD_ENTRY,
                    RECORD_END,
                    RECORD_CORRUPT };
// LINE_UNREADABLE: the name region gave fewer bytes than the trailer
// promised; index_fault says why.
enum LineResult { LINE_OK,
                  LINE_END,
                  LINE_TOO_LONG,
                  LINE_UNREADABLE };

// False when the archive cannot be opened, or is no regular file.
bool open_cursors(ArchiveReader* reader, const char* archive_path);
// Back to the first record and the first name line, for one more walk over
// the index; false when the cursors cannot be moved there.
bool rewind_index(ArchiveReader* reader);
RecordResult read_record(ArchiveReader* reader, EntryRecord* record);
LineResult next_line(ArchiveReader* reader);
// Why a walk stops at a name line next_line did not give (LINE_END,
// LINE_TOO_LONG; null for the others).
const char* line_fault(LineResult line);
// Why a record cannot stand where the walk has come (the entry before it
// at previous_depth, a directory or not), or null when it fits.
const char* nesting_fault(const EntryRecord& record, int32_t entry_number, int32_t previous_depth,
                          bool previous_was_directory);
// Consumes the rest of a line next_line found too long, through its LF;
// false when the name region ends first.
bool skip_line(ArchiveReader* reader);
// Name-region bytes not yet taken as lines.
inline uint64_t names_left(const ArchiveReader* reader) {
    return reader->names.remaining + (reader->names.fill - reader->names.position);
}
void close_cursors(ArchiveReader* reader);

// Content: hands out up to `wanted` bytes of the data region in place and
// consumes them; 0 once the data region has ended, or when a read failed
// (data.read_error). Unreadable bytes stay where they are: data_skip passes
// over them, so later contents are still read from their own place.
uint32_t data_take(ArchiveReader* reader, uint64_t wanted, const uint8_t** bytes);
// Consumes up to `count` bytes without looking at them; returns how many.
uint64_t data_skip(ArchiveReader* reader, uint64_t count);
// Bytes buffered ahead and not yet handed out.
inline uint32_t data_buffered(const ArchiveReader* reader) {
    return reader->data.window_fill - reader->data.window_position;
}
// Copies up to `count` bytes to `to` inside the kernel; only when nothing is
// buffered. Returns the count copied or -1 when the platform cannot.
int64_t data_copy_in_kernel(ArchiveReader* reader, PlatformHandle to, uint64_t count);

#endif
