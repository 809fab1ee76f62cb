#include "archive/writer.h"

#include <stdlib.h>
#include <string.h>

#include "archive/checksum.h"
#include "archive/extension.h"

bool grow_reserve(GrowBuffer* b, size_t more) {
    if (b->capacity - b->size >= more) return true;
    if (more > (size_t)-1 / 2 - b->size) return false;
    size_t capacity = b->capacity ? b->capacity : 65536;
    while (capacity - b->size < more) capacity *= 2;
    uint8_t* bytes = (uint8_t*)realloc(b->bytes, capacity);
    if (!bytes) return false;
    b->bytes = bytes;
    b->capacity = capacity;
    return true;
}

void grow_free(GrowBuffer* b) {
    free(b->bytes);
    memset(b, 0, sizeof *b);
}

void index_init(IndexWriter* index) {
    memset(index, 0, sizeof *index);
    index->limit = INDEX_REGIONS_LIMIT;
    index->last_depth = -1;
}

void index_free(IndexWriter* index) {
    grow_free(&index->names);
    grow_free(&index->records);
}

void index_extend(IndexWriter* index) {
    index->extended = true;
}

uint64_t index_bytes(const IndexWriter* index) {
    return (uint64_t)index->names.size + index->records.size + TRAILER_BYTES + (index->extended ? FOOTER_BYTES : 0);
}

void index_seal_entry(IndexWriter* index, uint16_t mode, uint32_t content_crc) {
    if (!index->extended || index->entries == 0) return;
    uint8_t* at = index->records.bytes + index->records.size - RECORD_BYTES;
    EntryRecord r;
    decode_record(at, &r);
    set_entry_extension(&r, mode, content_crc, index->names.bytes + index->last_name_at, index->last_name_length);
    encode_record(r, at);
}

static uint64_t cesu8_bytes(const uint16_t* name, uint32_t units) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < units; i++) bytes += name[i] < 0x80 ? 1 : name[i] < 0x800 ? 2
                                                                                       : 3;
    return bytes;
}

bool index_path_fits(const IndexWriter* index, uint32_t depth, const uint16_t* name, uint32_t units) {
    if (depth >= DEPTH_LIMIT) return false;
    uint64_t path_units = units, path_bytes = cesu8_bytes(name, units);
    if (depth > 0) {
        path_units += index->path_units[depth - 1] + 1;
        path_bytes += index->path_bytes[depth - 1] + 1;
    }
    return path_units <= ARCHIVE_PATH_UNITS && path_bytes <= ARCHIVE_PATH_BYTES;
}

const char* name_fault(const uint16_t* name, uint32_t units) {
    if (units == 0) return "empty name";
    if ((units == 1 && name[0] == '.') || (units == 2 && name[0] == '.' && name[1] == '.'))
        return "name is \".\" or \"..\"";
    for (uint32_t i = 0; i < units; i++) {
        uint16_t u = name[i];
        if (u == '\\' || u == ':') return "name holds \"\\\" or \":\"";
        if (u == '/' || u == 0) return "name holds \"/\" or NUL";
        if (u == '\n') return "name holds a line feed";
    }
    // CESU-8 takes at most three bytes a unit; count them only when close.
    if ((uint64_t)units * 3 >= NAME_LINE_LIMIT && cesu8_bytes(name, units) >= NAME_LINE_LIMIT) return "name too long";
    return 0;
}

void set_content_length(EntryRecord* record, uint64_t length) {
    record->size_low = (uint32_t)length;
    record->size_high = (uint8_t)(length >> 32);
}

IndexResult index_add(IndexWriter* index, const uint16_t* name, uint32_t units, const EntryRecord& record) {
    if (name_fault(name, units)) return INDEX_BAD_NAME;
    if (record.depth >= DEPTH_LIMIT) return INDEX_TOO_DEEP;
    // The first entry at depth 0; deeper by one only below a directory.
    int rise = (int)record.depth - index->last_depth;
    if (rise > 1 || (rise == 1 && index->last_depth >= 0 && !index->last_is_directory)) return INDEX_OUT_OF_ORDER;
    if (!index_path_fits(index, record.depth, name, units)) return INDEX_PATH_TOO_LONG;

    uint32_t line_most = units * 3 + 1;
    if (index_bytes(index) + line_most + RECORD_BYTES >= index->limit) {
        // The bound above is loose; only the exact size may refuse.
        if (index_bytes(index) + cesu8_bytes(name, units) + 1 + RECORD_BYTES >= index->limit) return INDEX_TOO_LARGE;
    }
    if (!grow_reserve(&index->names, line_most) || !grow_reserve(&index->records, RECORD_BYTES))
        return INDEX_NO_MEMORY;

    GrowBuffer* names = &index->names;
    index->last_name_at = names->size;
    uint32_t line = encode_cesu8(name, units, names->bytes + names->size);
    index->last_name_length = line;
    names->size += line;
    uint32_t d = record.depth;
    index->path_units[d] = (d > 0 ? index->path_units[d - 1] + 1 : 0) + units;
    index->path_bytes[d] = (d > 0 ? index->path_bytes[d - 1] + 1 : 0) + line;
    names->bytes[names->size++] = '\n';
    EntryRecord r = record;
    if (is_directory(r)) set_content_length(&r, 0);  // ignored by readers: keep it reproducible
    memset(r.reserved, 0, sizeof r.reserved);
    encode_record(r, index->records.bytes + index->records.size);
    index->records.size += RECORD_BYTES;

    index->entries++;
    // A directory, or a file whose content never comes, is sealed as it is.
    if (index->extended) index_seal_entry(index, 0, 0);
    index->last_depth = record.depth;
    index->last_is_directory = is_directory(record);
    return INDEX_ADDED;
}

static bool write_all(PlatformHandle out, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        uint32_t chunk = size > 0x40000000 ? 0x40000000 : (uint32_t)size;
        uint32_t n = platform_write(out, bytes, chunk);
        if (n != chunk) return false;
        bytes += n;
        size -= n;
    }
    return true;
}

bool index_write(const IndexWriter* index, PlatformHandle out) {
    ArchiveTrailer trailer;
    trailer.names_size = (uint32_t)index->names.size;
    trailer.records_size = (uint32_t)index->records.size;
    uint8_t footer[FOOTER_BYTES];
    // An empty tree stays the 8 zero bytes every reader knows as empty.
    bool extended = index->extended && index->entries > 0;
    if (extended) {
        trailer.names_size += FOOTER_BYTES;
        ExtensionFooter f;
        f.version = EXTENSION_VERSION;
        f.names_size = trailer.names_size;
        f.records_size = trailer.records_size;
        f.names_crc = crc32c(0, index->names.bytes, index->names.size);
        f.records_crc = crc32c(0, index->records.bytes, index->records.size);
        encode_footer(f, footer);
    }
    uint8_t bytes[TRAILER_BYTES];
    encode_trailer(trailer, bytes);
    return write_all(out, index->names.bytes, index->names.size) &&
           (!extended || write_all(out, footer, FOOTER_BYTES)) &&
           write_all(out, index->records.bytes, index->records.size) && write_all(out, bytes, TRAILER_BYTES);
}
