// The tree archive's byte layout, shared by the reader and the writer.
//
//   data region   contents of the file entries, back to back, from offset 0
//   name region   one name line per entry (CESU-8, LF-terminated)
//   record region one 40-byte EntryRecord per entry, depth-first pre-order
//   trailer       names_size, records_size (u32 each)
//
// All integers are little-endian on disk; the structs below are the decoded
// forms, filled and emitted byte by byte so host order and padding never leak
// into an archive.
#ifndef UNTREE_ARCHIVE_FORMAT_H
#define UNTREE_ARCHIVE_FORMAT_H

#include <stdint.h>

enum {
    RECORD_BYTES = 40,
    TRAILER_BYTES = 8,
    NAME_LINE_LIMIT = 65536,  // a name line (without its LF) is shorter than this
    DEPTH_LIMIT = 255,        // depths run from 0 to 254
    // The longest path inside an archive (its names joined by one separator
    // each) that a writer lets in, in both the forms the extractor builds it:
    // its buffers hold 32,768 UTF-16 units and 65,536 CESU-8 bytes with the
    // long-path prefix, the destination and a terminator, so these leave a
    // destination of up to 4,090 units and 4,090 bytes room.
    ARCHIVE_PATH_UNITS = 28672,
    ARCHIVE_PATH_BYTES = 61440,
    ATTRIBUTE_READONLY = 0x0001,
    ATTRIBUTE_HIDDEN = 0x0002,
    ATTRIBUTE_SYSTEM = 0x0004,
    ATTRIBUTE_DIRECTORY = 0x0010,
    ATTRIBUTE_ARCHIVE = 0x0020,
};

static const uint64_t CONTENT_LENGTH_LIMIT = (uint64_t)1 << 40;  // exclusive
static const uint64_t INDEX_REGIONS_LIMIT = (uint64_t)1 << 31;   // names + records + trailer, exclusive

struct EntryRecord {
    uint32_t size_low;
    uint8_t size_high;
    uint8_t depth;
    uint16_t attributes;
    uint64_t creation_time;  // FILETIME: 100 ns units since 1601-01-01 UTC
    uint64_t write_time;
    uint64_t access_time;
    uint8_t reserved[8];
};

struct ArchiveTrailer {
    uint32_t names_size;
    uint32_t records_size;
};

inline uint64_t content_length(const EntryRecord& r) {
    return ((uint64_t)r.size_high << 32) | r.size_low;
}

inline bool is_directory(const EntryRecord& r) {
    return (r.attributes & ATTRIBUTE_DIRECTORY) != 0;
}

void decode_record(const uint8_t bytes[RECORD_BYTES], EntryRecord* out);
void encode_record(const EntryRecord& record, uint8_t out[RECORD_BYTES]);
void decode_trailer(const uint8_t bytes[TRAILER_BYTES], ArchiveTrailer* out);
void encode_trailer(const ArchiveTrailer& trailer, uint8_t out[TRAILER_BYTES]);

// CESU-8: every UTF-16 unit on its own, one to three bytes, so a character
// beyond the Basic Multilingual Plane travels as its two surrogates. Returns
// the bytes written, without a terminator; out must hold 3 * units bytes.
uint32_t encode_cesu8(const uint16_t* units, uint32_t count, uint8_t* out);

// A character beyond the Basic Multilingual Plane in ordinary UTF-8, four
// bytes, as its two surrogates; false when the bytes are no such character.
// Stops at the first byte that does not fit, so a terminated text may be
// shorter.
bool utf8_to_surrogates(const uint8_t* bytes, uint16_t pair[2]);

// The other way: a surrogate pair as CESU-8 stores it, six bytes at `bytes`
// (`length` of them left), as the one character of ordinary UTF-8 it stands
// for, four bytes into out. False when the bytes there are no such pair (a
// lone surrogate among them). What shows a stored name as text uses this.
bool cesu8_pair_to_utf8(const uint8_t* bytes, uint32_t length, uint8_t out[4]);

// The decoder the extractor uses: lenient by design (overlong forms decode,
// stray continuation bytes vanish, a sequence cut short is dropped). Returns
// the units written, or DECODE_OVERFLOW when they would not fit `capacity`.
static const uint32_t DECODE_OVERFLOW = 0xFFFFFFFFu;
uint32_t decode_cesu8(const uint8_t* bytes, uint32_t length, uint16_t* out, uint32_t capacity);

#endif
