// The walk over an archive's index: records and name lines, never the
// contents. Every rule about what an index may hold is here, once: how
// records nest, what a name line may be, which paths the extractor can
// build, which names it refuses, and which entries take a place an earlier
// sibling holds. The extractor walks it once before it writes anything;
// untree-list walks it to show or check an archive; so what one calls
// sound, the other restores.
#ifndef UNTREE_ARCHIVE_INDEX_H
#define UNTREE_ARCHIVE_INDEX_H

#include "archive/cursors.h"
#include "archive/extension.h"
#include "archive/format.h"
#include "archive/names.h"

enum {
    // Depth 255 is a fault, yet its path is still built to say where.
    INDEX_LEVELS = DEPTH_LIMIT + 1,
};

// What becomes of an entry.
enum IndexVerdict {
    VERDICT_NEW,        // the first of its name among its siblings
    VERDICT_MERGED,     // a directory an earlier sibling directory of its name takes in
    VERDICT_DUPLICATE,  // an earlier sibling holds its name: not extracted, nor what is inside it
    VERDICT_UNSAFE,     // its name could leave its parent: refused with what is inside it
    VERDICT_INSIDE,     // inside an entry that is not extracted
    VERDICT_UNPLACED,   // it has no path: its name line is missing, too long, or the path is
};

// Why an entry's name cannot be placed; each stops the extractor.
enum NameFault {
    NAME_FAULT_NONE,
    NAME_FAULT_LINES_ENDED,    // the name lines ended at this entry or before
    NAME_FAULT_LINE_TOO_LONG,  // 65,536 bytes or more
    NAME_FAULT_PATH_TOO_LONG,  // longer than the extractor can build
};

enum IndexStep {
    INDEX_ENTRY,       // one more entry; its outcome is in the walk
    INDEX_END,         // the records ended where their region does
    INDEX_RECORD_CUT,  // the record region ends 32 to 39 bytes into a record
    INDEX_UNREADABLE,  // a read failed or the file shrank: archive.index_fault says why
};

// The last step of a 64-bit hash, which spreads every input bit over every
// output bit, so that a table may take its low bits as the slot.
inline uint64_t hash_mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

// A name seen, kept as a 64-bit hash of its parent's identity and its name
// as the system compares names, with the number of the entry that holds
// it (its top bit set for a directory); entry 0 marks a free slot. Names
// are never kept: a directory listed twice must know the names of its
// first copy when its second comes, so every name stays for the whole walk.
struct NameSlot {
    uint32_t key_low;
    uint32_t key_high;
    uint32_t entry;
};

struct NameSet {
    NameSlot* slots;
    uint32_t slot_count;  // more than the entries the record region holds
};

struct IndexWalk {
    ArchiveReader* archive;
    uint32_t room_bytes;        // the longest relative path the extractor can build, in CESU-8 bytes
    uint32_t room_units;        // and in UTF-16 units
    bool judge_names;           // true from index_begin; false: no name is compared with its
                                // siblings' (a listing), and the names' memory stays untouched
    ExtensionCheck* extension;  // the extension's checks, made on the way, or null

    // The entry just walked.
    EntryRecord record;
    int32_t entry_number;  // counted from 1; also the record a walk stops at
    const char* nesting;   // why the record cannot stand where it does (nesting_fault), or null
    NameFault name_fault;
    IndexVerdict verdict;
    int32_t same_as;                         // MERGED, DUPLICATE: the earlier entry of the same name
    bool path_known;                         // `path` holds the entry's relative path
    char path[PATH_BUFFER_BYTES];            // names joined by "\", CESU-8, NUL-terminated
    uint32_t level_start[INDEX_LEVELS + 1];  // where the name at depth k begins in path (counted
    uint32_t unit_start[INDEX_LEVELS + 1];   // on past the buffer), and in UTF-16 units
    WideChar units[NAME_LINE_LIMIT];         // the entry's name as the platform receives it
    uint32_t unit_count;
    uint64_t contents;  // content lengths of the file entries so far, summed (stops at 2^64 - 1)

    // How the walk got here.
    int32_t previous_depth;
    bool previous_was_directory;
    bool names_ended;
    int32_t skipped_depth;                // entries deeper are inside one not extracted; -1: none
    uint32_t identity[INDEX_LEVELS + 1];  // the directory at depth k: the entry that first held its name
    WideChar folded[NAME_LINE_LIMIT];     // the name as compared, where the system ignores case
    NameSet names;
};

// Why the file is no tree archive, into `text` (up to 256 bytes), or null:
// shorter than the trailer, an index that would begin before the file does
// (or too large for any archive), or no entry while bytes stand in front of
// the index (a tar file, a run of zeros). The empty archive, 8 zero bytes,
// is one.
const char* not_a_tree_archive(const ArchiveReader* archive, char* text);

// Starts a walk over an opened archive's index from its first record. The
// room is the longest relative path the extractor can build (its buffers
// less the destination root); index_shortest_root gives it for the root
// "/". With `extension` (begun by extension_begin), every entry's own
// check and the index checksums are taken on the way, so that the index is
// read once; the last step (INDEX_END) says what they found of the whole.
// False when memory for the names runs out.
bool index_begin(IndexWalk* walk, ArchiveReader* archive, uint32_t room_bytes, uint32_t room_units,
                 ExtensionCheck* extension);
void index_shortest_root(uint32_t* room_bytes, uint32_t* room_units);
// One record and its name line. An entry comes with its faults, if any,
// and a verdict; the walk goes on past a fault (a check shows them all),
// while the extractor stops at the first (index_stops).
IndexStep index_step(IndexWalk* walk);
inline bool index_stops(const IndexWalk* walk) {
    return walk->nesting != 0 || walk->name_fault != NAME_FAULT_NONE;
}
// The relative path's length so far, in bytes and units, also when it did
// not fit the buffer.
inline uint32_t index_path_bytes(const IndexWalk* w) { return w->level_start[w->record.depth + 1] - 1; }
inline uint32_t index_path_units(const IndexWalk* w) { return w->unit_start[w->record.depth + 1] - 1; }
// The data region as the trailer has it: where the name region starts.
uint64_t index_data_region(const ArchiveReader* archive);
void index_end(IndexWalk* walk);

#endif
