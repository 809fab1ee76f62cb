#include "archive/index.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

uint64_t index_data_region(const ArchiveReader* a) {
    uint64_t index = (uint64_t)a->trailer.names_size + a->trailer.records_size + TRAILER_BYTES;
    return a->file_size > index ? a->file_size - index : 0;
}

const char* not_a_tree_archive(const ArchiveReader* a, char* text) {
    unsigned long long size = a->file_size;
    if (a->file_size < TRAILER_BYTES) {
        (void)snprintf(text, 256, "%llu bytes, shorter than its 8-byte trailer", size);
        return text;
    }
    if (a->index_unreadable) return 0;  // nothing can be said of it yet
    uint64_t index = (uint64_t)a->trailer.names_size + a->trailer.records_size + TRAILER_BYTES;
    if (index > a->file_size) {
        (void)snprintf(text, 256,
                       "its index would begin before the file does (%llu bytes of names and %llu bytes of "
                       "records in a file of %llu bytes)",
                       (unsigned long long)a->trailer.names_size,
                       (unsigned long long)a->trailer.records_size, size);
        return text;
    }
    if (index >= INDEX_REGIONS_LIMIT) {
        (void)snprintf(text, 256, "index regions of %llu bytes, more than any archive holds", (unsigned long long)index);
        return text;
    }
    // Any file ends in 8 bytes that read as some trailer; zeros read as the
    // empty index. With nothing in front of it, that is the empty archive.
    uint64_t data = a->file_size - index;
    if (a->trailer.records_size < RECORD_BYTES && data > 0) {
        (void)snprintf(text, 256, "no entries, yet %llu bytes stand before its index", (unsigned long long)data);
        return text;
    }
    return 0;
}

void index_shortest_root(uint32_t* room_bytes, uint32_t* room_units) {
    // Before the first name: the long-path prefix and the root's terminator,
    // which becomes the first separator ("/" itself is dropped); after the
    // last: a terminator.
    uint32_t before = LONG_PATH_PREFIX_BYTES + 1;
    *room_bytes = PATH_BUFFER_BYTES - before - 1;
    *room_units = PATH_BUFFER_UNITS - before - 1;
}

// --- Names seen ---------------------------------------------------------------------

static const uint32_t DIRECTORY_BIT = 0x80000000u;
// The identity of a level a depth that rose too far skipped: no entry's.
static const uint32_t NO_ENTRY_IDENTITY = 0x7FFFFFFFu;

static uint64_t name_key(uint32_t parent, const WideChar* units, uint32_t count) {
    uint64_t h = 0xCBF29CE484222325ull ^ ((uint64_t)parent * 0x9E3779B97F4A7C15ull);
    for (uint32_t i = 0; i < count; i++) h = (h ^ units[i]) * 0x100000001B3ull;
    return hash_mix(h ^ count);
}

static bool names_begin(NameSet* set, uint64_t entries) {
    // A quarter free at the most: each entry takes at most one slot.
    uint64_t count = entries + entries / 3 + 64;
    set->slots = (NameSlot*)calloc((size_t)count, sizeof(NameSlot));
    set->slot_count = set->slots ? (uint32_t)count : 0;
    return set->slots != 0;
}

// The slot that holds the key, or the free one where it goes.
static NameSlot* names_find(NameSet* set, uint64_t key) {
    uint32_t low = (uint32_t)key, high = (uint32_t)(key >> 32);
    uint32_t p = (uint32_t)(((uint64_t)high * set->slot_count) >> 32);
    for (;;) {
        NameSlot* s = &set->slots[p];
        if (s->entry == 0 || (s->key_low == low && s->key_high == high)) return s;
        if (++p == set->slot_count) p = 0;
    }
}

// --- The walk -----------------------------------------------------------------------

bool index_begin(IndexWalk* w, ArchiveReader* archive, uint32_t room_bytes, uint32_t room_units,
                 ExtensionCheck* extension) {
    w->archive = archive;
    w->extension = extension;
    w->room_bytes = room_bytes;
    w->room_units = room_units;
    w->judge_names = true;
    w->entry_number = 0;
    w->previous_depth = 0;
    w->previous_was_directory = false;
    w->names_ended = false;
    w->skipped_depth = -1;
    w->contents = 0;
    w->path_known = false;
    w->path[0] = 0;
    w->level_start[0] = 0;
    w->unit_start[0] = 0;
    w->names.slots = 0;
    w->names.slot_count = 0;
    return names_begin(&w->names, archive->trailer.records_size / RECORD_BYTES);
}

void index_end(IndexWalk* w) {
    free(w->names.slots);
    w->names.slots = 0;
    w->names.slot_count = 0;
}

// Puts a name at depth d over the tail of the previous path. The starts of
// the levels count every byte and unit, also past the buffer, so a path too
// long is known as such; it is then not kept.
static void place(IndexWalk* w, int d, const uint8_t* name, uint32_t length, uint32_t units) {
    uint32_t at = w->level_start[d];
    w->level_start[d + 1] = at + length + 1;
    w->unit_start[d + 1] = w->unit_start[d] + units + 1;
    w->path_known = (uint64_t)at + length + 1 <= PATH_BUFFER_BYTES;
    if (!w->path_known) return;
    if (d > 0) w->path[at - 1] = '\\';
    memcpy(w->path + at, name, length);
    w->path[at + length] = 0;
}

// Reads the entry's name line and places the name.
static LineResult read_name(IndexWalk* w) {
    int d = w->record.depth;
    w->path_known = false;
    LineResult line = next_line(w->archive);
    if (line == LINE_UNREADABLE) return line;
    if (line == LINE_END) {
        w->names_ended = true;
        return line;
    }
    // The levels a depth that rose too far skipped get empty names.
    for (int k = w->entry_number == 1 ? 0 : w->previous_depth + 1; k < d; k++) {
        place(w, k, (const uint8_t*)"", 0, 0);
        w->identity[k] = NO_ENTRY_IDENTITY;
    }
    if (line == LINE_TOO_LONG) {
        // Its own length is not known: long enough for any path to be too long.
        place(w, d, (const uint8_t*)"", 0, NAME_LINE_LIMIT);
        w->level_start[d + 1] += NAME_LINE_LIMIT;
        w->path_known = false;
        if (!skip_line(w->archive)) w->names_ended = true;
        return line;
    }
    const NameLineReader& names = w->archive->names;
    w->unit_count = decode_cesu8(names.line, names.line_length, w->units, NAME_LINE_LIMIT);
    place(w, d, names.line, names.line_length, w->unit_count);
    return LINE_OK;
}

// Where the entry's name goes among its siblings: first of its name, a
// directory met again, or a place taken.
static IndexVerdict judge_name(IndexWalk* w) {
    int d = w->record.depth;
    bool directory = is_directory(w->record);
    const WideChar* compared = w->units;
    if (platform_names_ignore_case()) {
        platform_upcase_name(w->units, w->unit_count, w->folded);
        compared = w->folded;
    }
    uint32_t parent = d == 0 ? 0 : w->identity[d - 1];
    uint64_t key = name_key(parent, compared, w->unit_count);
    NameSlot* slot = names_find(&w->names, key);
    if (slot->entry == 0) {
        slot->key_low = (uint32_t)key;
        slot->key_high = (uint32_t)(key >> 32);
        slot->entry = (uint32_t)w->entry_number | (directory ? DIRECTORY_BIT : 0);
        w->identity[d] = (uint32_t)w->entry_number;
        return VERDICT_NEW;
    }
    w->same_as = (int32_t)(slot->entry & ~DIRECTORY_BIT);
    if (directory && (slot->entry & DIRECTORY_BIT)) {
        // Its entries go where the first copy's went, beside its names.
        w->identity[d] = (uint32_t)w->same_as;
        return VERDICT_MERGED;
    }
    return VERDICT_DUPLICATE;
}

static uint64_t add_saturating(uint64_t a, uint64_t b) {
    return a + b < a ? UINT64_MAX : a + b;
}

IndexStep index_step(IndexWalk* w) {
    RecordResult result = read_record(w->archive, &w->record);
    if (result == RECORD_END) {
        if (w->extension) extension_end(w->extension, names_left(w->archive));
        return INDEX_END;
    }
    // The walk stops at the record it could not read: that one counts.
    w->entry_number++;
    if (result == RECORD_CORRUPT) {
        if (w->extension) extension_cut(w->extension);
        return w->archive->index_unreadable ? INDEX_UNREADABLE : INDEX_RECORD_CUT;
    }
    const EntryRecord& r = w->record;
    int d = r.depth;
    bool inside = w->skipped_depth >= 0 && d > w->skipped_depth;
    if (!inside) w->skipped_depth = -1;
    if (!is_directory(r)) w->contents = add_saturating(w->contents, content_length(r));
    w->nesting = nesting_fault(r, w->entry_number, w->previous_depth, w->previous_was_directory);
    w->name_fault = NAME_FAULT_NONE;
    w->verdict = VERDICT_UNPLACED;
    w->same_as = 0;

    LineResult line = LINE_END;
    if (!w->names_ended) line = read_name(w);
    else w->path_known = false;
    w->previous_depth = d;
    w->previous_was_directory = is_directory(r);
    if (w->extension) {
        if (line == LINE_OK)
            extension_entry(w->extension, r, w->archive->names.line, w->archive->names.line_length);
        else
            extension_cut(w->extension);
    }
    if (line == LINE_UNREADABLE) return INDEX_UNREADABLE;
    if (line == LINE_END) {
        w->name_fault = NAME_FAULT_LINES_ENDED;
        return INDEX_ENTRY;
    }
    if (line == LINE_TOO_LONG) {
        w->name_fault = NAME_FAULT_LINE_TOO_LONG;
        w->skipped_depth = d;
        return INDEX_ENTRY;
    }
    // The extractor builds every path it lists, whether it extracts the
    // entry or not.
    if (index_path_bytes(w) > w->room_bytes || index_path_units(w) > w->room_units) {
        w->name_fault = NAME_FAULT_PATH_TOO_LONG;
        w->skipped_depth = d;
        return INDEX_ENTRY;
    }
    if (inside) {
        w->verdict = VERDICT_INSIDE;
        return INDEX_ENTRY;
    }
    if (!component_is_safe(w->units, w->unit_count)) {
        w->verdict = VERDICT_UNSAFE;
        w->skipped_depth = d;
        return INDEX_ENTRY;
    }
    w->verdict = w->judge_names ? judge_name(w) : VERDICT_NEW;
    if (w->verdict == VERDICT_DUPLICATE) w->skipped_depth = d;
    return INDEX_ENTRY;
}
