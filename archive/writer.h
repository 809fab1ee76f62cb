// The writing side of the tree archive: the name and record regions of an
// archive being written, built in memory in entry order and put behind the
// contents at the end, with everything the reader relies on checked here
// (pre-order nesting, depth, name lines, region sizes) so that no writer can
// produce an archive the extractor would stop at.
#ifndef UNTREE_ARCHIVE_WRITER_H
#define UNTREE_ARCHIVE_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include "archive/format.h"
#include "platform/platform.h"

// A byte buffer that grows by doubling; memory only, never a file's content.
struct GrowBuffer {
    uint8_t* bytes;
    size_t size;
    size_t capacity;
};

// Room for `more` bytes beyond `size`; false when memory ran out.
bool grow_reserve(GrowBuffer* buffer, size_t more);
void grow_free(GrowBuffer* buffer);

struct IndexWriter {
    GrowBuffer names;
    GrowBuffer records;
    uint64_t limit;  // names + records + trailer stay below this
    uint32_t entries;
    bool extended;        // records carry modes and checksums, a footer closes the names
    size_t last_name_at;  // the last entry's name line in `names`, and its length
    uint32_t last_name_length;
    int last_depth;  // -1 before the first entry
    bool last_is_directory;
    // The path of the last entry at each depth: at depth d + 1 that is the
    // new entry's parent.
    uint32_t path_units[DEPTH_LIMIT];
    uint32_t path_bytes[DEPTH_LIMIT];
};

enum IndexResult {
    INDEX_ADDED,
    INDEX_BAD_NAME,       // name_fault() says why
    INDEX_TOO_DEEP,       // depth above 254
    INDEX_PATH_TOO_LONG,  // beyond ARCHIVE_PATH_UNITS or ARCHIVE_PATH_BYTES
    INDEX_OUT_OF_ORDER,   // not where pre-order allows (a writer's own mistake)
    INDEX_TOO_LARGE,      // the index regions would reach the limit
    INDEX_NO_MEMORY,
};

void index_init(IndexWriter* index);
// From now on the index is written extended (archive/extension.h).
void index_extend(IndexWriter* index);
void index_free(IndexWriter* index);

// Appends one entry: its name line and its record. Nothing is appended
// unless the result is INDEX_ADDED.
IndexResult index_add(IndexWriter* index, const uint16_t* name, uint32_t units, const EntryRecord& record);

// The last entry's extension: its mode and the checksum of its content,
// known once the content is written. Nothing for a plain index.
void index_seal_entry(IndexWriter* index, uint16_t mode, uint32_t content_crc);

// Whether an entry of this name at this depth, below the last directory
// added at depth - 1, keeps within the depth and path limits.
bool index_path_fits(const IndexWriter* index, uint32_t depth, const uint16_t* name, uint32_t units);

// Bytes the index regions and the trailer take so far.
uint64_t index_bytes(const IndexWriter* index);

// Writes the name region, the record region and the trailer. False, with the
// platform's last error, when a write falls short.
bool index_write(const IndexWriter* index, PlatformHandle out);

// Why a name cannot be an entry's name line, or null when it can: what the
// extractor refuses (empty, ".", "..", NUL, "/", "\", ":"), a line feed, or
// a line too long for the reader.
const char* name_fault(const uint16_t* name, uint32_t units);

void set_content_length(EntryRecord* record, uint64_t length);

#endif
