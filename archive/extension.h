// The extension of the tree archive (version 1): permission bits, symbolic
// links and checksums, kept where a reader of the original rules never
// looks. Each record's 8 reserved bytes carry the entry's own part:
//
//   32  u16  mode           permission bits 07777, MODE_KNOWN, MODE_LINK
//   34  u32  content_crc    CRC-32C of the file's content (0 for a directory)
//   38  u16  entry_check    CRC-16 of record bytes 0-37 and the name line
//
// and one fixed-length line closes the name region, after the last
// record's name line: the footer, which says the archive is extended and
// holds the checksums of the rest of the index (docs/format.md).
#ifndef UNTREE_ARCHIVE_EXTENSION_H
#define UNTREE_ARCHIVE_EXTENSION_H

#include <stdint.h>

#include "archive/cursors.h"
#include "archive/format.h"

enum {
    EXTENSION_VERSION = 1,
    FOOTER_BYTES = 65,
    MODE_PERMISSIONS = 07777,
    MODE_SET_ID = 06000,
    MODE_KNOWN = 0x1000,       // the permission bits are the source's own
    MODE_LINK = 0x2000,        // a symbolic link: the content is its target
    LINK_TARGET_LIMIT = 4096,  // bytes of a target, as Linux takes them
};

struct EntryExtension {
    uint16_t mode;
    uint32_t content_crc;
    uint16_t entry_check;
};

struct ExtensionFooter {
    uint32_t version;
    uint32_t names_size, records_size;  // copies of the trailer's
    uint32_t names_crc;                 // CRC-32C of the name region before the footer
    uint32_t records_crc;               // CRC-32C of the record region
};

inline EntryExtension entry_extension(const EntryRecord& r) {
    EntryExtension e;
    e.mode = (uint16_t)(r.reserved[0] | r.reserved[1] << 8);
    e.content_crc = (uint32_t)r.reserved[2] | (uint32_t)r.reserved[3] << 8 | (uint32_t)r.reserved[4] << 16 |
                    (uint32_t)r.reserved[5] << 24;
    e.entry_check = (uint16_t)(r.reserved[6] | r.reserved[7] << 8);
    return e;
}

inline bool is_link(const EntryRecord& r) {
    return !is_directory(r) && (entry_extension(r).mode & MODE_LINK) != 0;
}

// The permission bits an extractor gives an entry of an extended archive on
// a system that keeps `mask` of them (0: none), or -1 when none are stored.
// Never a set-id bit: the archive keeps no owner, so the file would be
// set-id to whoever extracts it. The read-only attribute still holds.
inline int32_t restored_permissions(const EntryRecord& r, uint32_t mask) {
    EntryExtension e = entry_extension(r);
    if (mask == 0 || !(e.mode & MODE_KNOWN)) return -1;
    uint32_t mode = e.mode & MODE_PERMISSIONS & mask & ~(uint32_t)MODE_SET_ID;
    if (!is_directory(r) && (r.attributes & ATTRIBUTE_READONLY)) mode &= ~0222u;
    return (int32_t)mode;
}

// Fills the reserved bytes: mode and content checksum, then the check over
// the record so made and the entry's name line (without its LF).
void set_entry_extension(EntryRecord* record, uint16_t mode, uint32_t content_crc, const uint8_t* name,
                         uint32_t length);
// The check the record should carry, from its encoded bytes and its name.
uint16_t entry_check_of(const uint8_t record_bytes[RECORD_BYTES], const uint8_t* name, uint32_t length);

void encode_footer(const ExtensionFooter& footer, uint8_t out[FOOTER_BYTES]);

enum FooterResult {
    FOOTER_ABSENT,  // a plain archive
    FOOTER_VALID,
    FOOTER_DAMAGED,  // one of its marks stands, but it does not hold together
};
// What the last FOOTER_BYTES of the name region say. A footer is there when
// either of its two marks is: one damaged byte cannot take both away. It is
// valid when its own checksum, its version and the trailer's sizes agree.
// `why` says what failed for FOOTER_DAMAGED.
FooterResult decode_footer(const uint8_t bytes[FOOTER_BYTES], const ArchiveTrailer& trailer, ExtensionFooter* out,
                           const char** why);

// What the walk over the index finds of the extension, on its way.
struct ExtensionCheck {
    bool extended;            // a footer stands: modes, links and content checksums apply
    const char* fault;        // damage of the index in no one entry, or null
    int32_t entry;            // the first entry whose record or name is damaged (from 1), or 0
    const char* entry_fault;  // what is wrong with it
    uint32_t entries;         // the entries checked

    ExtensionFooter footer;
    bool footer_valid;
    bool whole;  // every record so far came with its name line
    uint32_t names_crc, records_crc;
};
// Reads the footer: whether the archive is extended, and what the footer
// alone says; then the cursors are back at the first record. A footer that
// cannot be read leaves the index unreadable (index_unreadable), for the
// walk to tell.
void extension_begin(ArchiveReader* reader, ExtensionCheck* out);
// One entry whose record and name line (without its LF) were both read:
// its own check, and its part of the index checksums.
void extension_entry(ExtensionCheck* check, const EntryRecord& record, const uint8_t* name, uint32_t length);
// A record or name line the walk could not take: where the index breaks a
// rule of the original format, the index checksums are not compared (the
// walk stops at that entry and says why).
inline void extension_cut(ExtensionCheck* check) { check->whole = false; }
// The records ended where their region does, names_left name bytes after
// the last record's line: the index checksums.
void extension_end(ExtensionCheck* check, uint64_t names_left);
// All of it in a pass of its own over the index, the cursors rewound
// after: for a reader that must know before its own walk begins.
void check_extension(ArchiveReader* reader, ExtensionCheck* out);

#endif
