#include "archive/extension.h"

#include <string.h>

#include "archive/checksum.h"

// Both marks hold a backslash and a colon: no name the extractor would
// create, and none untree-pack writes, can look like either.
static const char FRONT_MARK[] = "\\untree:";
static const char BACK_MARK[] = ":eertnu\\";
enum { MARK_BYTES = 8,
       BACK_MARK_AT = FOOTER_BYTES - 1 - MARK_BYTES,
       FOOTER_CRC_AT = BACK_MARK_AT - 9 };

uint16_t entry_check_of(const uint8_t b[RECORD_BYTES], const uint8_t* name, uint32_t length) {
    return crc16(crc16(0, b, RECORD_BYTES - 2), name, length);
}

void set_entry_extension(EntryRecord* r, uint16_t mode, uint32_t content_crc, const uint8_t* name, uint32_t length) {
    r->reserved[0] = (uint8_t)mode;
    r->reserved[1] = (uint8_t)(mode >> 8);
    for (int k = 0; k < 4; k++) r->reserved[2 + k] = (uint8_t)(content_crc >> (8 * k));
    uint8_t bytes[RECORD_BYTES];
    encode_record(*r, bytes);
    uint16_t check = entry_check_of(bytes, name, length);
    r->reserved[6] = (uint8_t)check;
    r->reserved[7] = (uint8_t)(check >> 8);
}

static void put_hex(uint8_t* at, uint32_t value, int digits) {
    static const char HEX[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; i--, value >>= 4) at[i] = (uint8_t)HEX[value & 15];
}

static bool get_hex(const uint8_t* at, int digits, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < digits; i++) {
        uint8_t c = at[i];
        uint32_t d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return false;
        v = v << 4 | d;
    }
    *value = v;
    return true;
}

// "\untree:01 names records namescrc recordscrc footercrc :eertnu\" LF,
// every number as eight lower-case hex digits (the version two).
void encode_footer(const ExtensionFooter& f, uint8_t out[FOOTER_BYTES]) {
    memcpy(out, FRONT_MARK, MARK_BYTES);
    put_hex(out + 8, f.version, 2);
    const uint32_t fields[4] = {f.names_size, f.records_size, f.names_crc, f.records_crc};
    for (size_t i = 0; i < 4; i++) {
        out[10 + 9 * i] = ' ';
        put_hex(out + 11 + 9 * i, fields[i], 8);
    }
    out[FOOTER_CRC_AT - 1] = ' ';
    put_hex(out + FOOTER_CRC_AT, crc32c(0, out, FOOTER_CRC_AT - 1), 8);
    out[BACK_MARK_AT - 1] = ' ';
    memcpy(out + BACK_MARK_AT, BACK_MARK, MARK_BYTES);
    out[FOOTER_BYTES - 1] = '\n';
}

void extension_begin(ArchiveReader* r, ExtensionCheck* out) {
    out->extended = false;
    out->fault = 0;
    out->entry = 0;
    out->entry_fault = 0;
    out->entries = 0;
    out->footer_valid = false;
    out->whole = true;
    out->names_crc = out->records_crc = 0;
    if (r->index_fault || r->file_size < TRAILER_BYTES || r->trailer.names_size < FOOTER_BYTES) return;
    uint8_t bytes[FOOTER_BYTES];
    uint32_t error = 0, got = 0;
    int64_t at = -(int64_t)((uint64_t)r->trailer.records_size + TRAILER_BYTES + FOOTER_BYTES);
    if (platform_seek_from_end(r->cursors.name_cursor, at))
        got = platform_read(r->cursors.name_cursor, bytes, FOOTER_BYTES, &error);
    if (got != FOOTER_BYTES) {
        // The index cannot be read whole: the walk says so at its start.
        r->index_fault = error ? "read error" : "archive shrank while read";
        r->index_error = error;
        r->index_unreadable = true;
        return;
    }
    if (!rewind_index(r)) return;  // the walk finds the index unreadable
    const char* why = 0;
    FooterResult found = decode_footer(bytes, r->trailer, &out->footer, &why);
    if (found == FOOTER_ABSENT) return;
    out->extended = true;
    out->footer_valid = found == FOOTER_VALID;
    if (found == FOOTER_DAMAGED) out->fault = why;
}

void extension_entry(ExtensionCheck* c, const EntryRecord& record, const uint8_t* name, uint32_t length) {
    if (!c->extended || !c->whole) return;
    static const uint8_t LF = '\n';
    c->entries++;
    uint8_t encoded[RECORD_BYTES];
    encode_record(record, encoded);
    c->records_crc = crc32c(c->records_crc, encoded, RECORD_BYTES);
    c->names_crc = crc32c(crc32c(c->names_crc, name, length), &LF, 1);
    if (c->entry == 0 && entry_extension(record).entry_check != entry_check_of(encoded, name, length)) {
        c->entry = (int32_t)c->entries;
        c->entry_fault = "record or name damaged (checksum mismatch)";
    }
}

void extension_end(ExtensionCheck* c, uint64_t names_left) {
    if (!c->extended || !c->whole || c->entry != 0 || c->fault) return;
    if (names_left != FOOTER_BYTES) c->fault = "name region does not end at the extension footer";
    else if (c->footer_valid && (c->names_crc != c->footer.names_crc || c->records_crc != c->footer.records_crc))
        c->fault = "index checksum mismatch";
}

void check_extension(ArchiveReader* r, ExtensionCheck* out) {
    extension_begin(r, out);
    if (!out->extended) return;
    EntryRecord record;
    for (;;) {
        RecordResult got_record = read_record(r, &record);
        if (got_record == RECORD_END) {
            extension_end(out, names_left(r));
            break;
        }
        if (got_record != RECORD_ENTRY || next_line(r) != LINE_OK) {
            extension_cut(out);
            break;
        }
        extension_entry(out, record, r->names.line, r->names.line_length);
    }
    // A fault the cursors met is the walk's to tell.
    r->index_fault = 0;
    r->index_error = 0;
    r->index_unreadable = false;
    rewind_index(r);
}

FooterResult decode_footer(const uint8_t b[FOOTER_BYTES], const ArchiveTrailer& trailer, ExtensionFooter* f,
                           const char** why) {
    bool front = memcmp(b, FRONT_MARK, MARK_BYTES) == 0;
    bool back = memcmp(b + BACK_MARK_AT, BACK_MARK, MARK_BYTES) == 0;
    if (!front && !back) return FOOTER_ABSENT;
    *why = "extension footer damaged";
    if (!front || !back || b[FOOTER_BYTES - 1] != '\n' || b[FOOTER_CRC_AT - 1] != ' ' || b[BACK_MARK_AT - 1] != ' ')
        return FOOTER_DAMAGED;
    uint32_t stored;
    if (!get_hex(b + FOOTER_CRC_AT, 8, &stored) || stored != crc32c(0, b, FOOTER_CRC_AT - 1)) return FOOTER_DAMAGED;
    // Its own checksum holds: what it says is what was written.
    uint32_t fields[4];
    if (!get_hex(b + 8, 2, &f->version)) return FOOTER_DAMAGED;
    for (size_t i = 0; i < 4; i++)
        if (b[10 + 9 * i] != ' ' || !get_hex(b + 11 + 9 * i, 8, &fields[i])) return FOOTER_DAMAGED;
    f->names_size = fields[0];
    f->records_size = fields[1];
    f->names_crc = fields[2];
    f->records_crc = fields[3];
    if (f->version != EXTENSION_VERSION) {
        *why = "extension of a version this program does not know";
        return FOOTER_DAMAGED;
    }
    if (f->names_size != trailer.names_size || f->records_size != trailer.records_size) {
        *why = "trailer does not match the extension footer";
        return FOOTER_DAMAGED;
    }
    return FOOTER_VALID;
}
