#include "archive/format.h"

#include <string.h>

static uint32_t get_u32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static uint64_t get_u64(const uint8_t* p) {
    return (uint64_t)get_u32(p) | ((uint64_t)get_u32(p + 4) << 32);
}

static void put_u32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static void put_u64(uint8_t* p, uint64_t v) {
    put_u32(p, (uint32_t)v);
    put_u32(p + 4, (uint32_t)(v >> 32));
}

void decode_record(const uint8_t b[RECORD_BYTES], EntryRecord* r) {
    r->size_low = get_u32(b);
    r->size_high = b[4];
    r->depth = b[5];
    r->attributes = (uint16_t)(b[6] | (b[7] << 8));
    r->creation_time = get_u64(b + 8);
    r->write_time = get_u64(b + 16);
    r->access_time = get_u64(b + 24);
    memcpy(r->reserved, b + 32, 8);
}

void encode_record(const EntryRecord& r, uint8_t b[RECORD_BYTES]) {
    put_u32(b, r.size_low);
    b[4] = r.size_high;
    b[5] = r.depth;
    b[6] = (uint8_t)r.attributes;
    b[7] = (uint8_t)(r.attributes >> 8);
    put_u64(b + 8, r.creation_time);
    put_u64(b + 16, r.write_time);
    put_u64(b + 24, r.access_time);
    memcpy(b + 32, r.reserved, 8);
}

void decode_trailer(const uint8_t b[TRAILER_BYTES], ArchiveTrailer* t) {
    t->names_size = get_u32(b);
    t->records_size = get_u32(b + 4);
}

void encode_trailer(const ArchiveTrailer& t, uint8_t b[TRAILER_BYTES]) {
    put_u32(b, t.names_size);
    put_u32(b + 4, t.records_size);
}

uint32_t encode_cesu8(const uint16_t* units, uint32_t count, uint8_t* out) {
    uint8_t* o = out;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t u = units[i];
        if (u < 0x80) {
            *o++ = (uint8_t)u;
        } else if (u < 0x800) {
            *o++ = (uint8_t)(0xC0 | (u >> 6));
            *o++ = (uint8_t)(0x80 | (u & 0x3F));
        } else {
            *o++ = (uint8_t)(0xE0 | (u >> 12));
            *o++ = (uint8_t)(0x80 | ((u >> 6) & 0x3F));
            *o++ = (uint8_t)(0x80 | (u & 0x3F));
        }
    }
    return (uint32_t)(o - out);
}

bool utf8_to_surrogates(const uint8_t* s, uint16_t pair[2]) {
    if (!(s[0] >= 0xF0 && s[0] <= 0xF4 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80 && (s[3] & 0xC0) == 0x80))
        return false;
    uint32_t c = ((uint32_t)(s[0] & 0x07) << 18) | ((uint32_t)(s[1] & 0x3F) << 12) | ((uint32_t)(s[2] & 0x3F) << 6) |
                 (s[3] & 0x3F);
    if (c < 0x10000 || c > 0x10FFFF) return false;
    pair[0] = (uint16_t)(0xD800 + ((c - 0x10000) >> 10));
    pair[1] = (uint16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
    return true;
}

// The unit of three bytes at s, 0 when they are not one in the given range.
static uint32_t three_byte_unit(const uint8_t* s, uint32_t low, uint32_t high) {
    if (s[0] != 0xED || (s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80) return 0;
    uint32_t u = 0xD000 | ((uint32_t)(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    return u >= low && u <= high ? u : 0;
}

bool cesu8_pair_to_utf8(const uint8_t* s, uint32_t length, uint8_t out[4]) {
    if (length < 6) return false;
    uint32_t high = three_byte_unit(s, 0xD800, 0xDBFF), low = three_byte_unit(s + 3, 0xDC00, 0xDFFF);
    if (!high || !low) return false;
    uint32_t c = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
    out[0] = (uint8_t)(0xF0 | (c >> 18));
    out[1] = (uint8_t)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (uint8_t)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (uint8_t)(0x80 | (c & 0x3F));
    return true;
}

uint32_t decode_cesu8(const uint8_t* bytes, uint32_t length, uint16_t* out, uint32_t capacity) {
    uint32_t written = 0;
    uint32_t pending = 0;
    uint16_t accumulator = 0;
    for (uint32_t i = 0; i < length; i++) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            if (written == capacity) return DECODE_OVERFLOW;
            out[written++] = b;  // a lead byte it interrupts is dropped
            pending = 0;
        } else if (b >= 0xE0) {
            accumulator = b & 0x0F;
            pending = 2;
        } else if (b >= 0xC0) {
            accumulator = b & 0x1F;
            pending = 1;
        } else if (pending != 0) {
            accumulator = (uint16_t)((accumulator << 6) | (b & 0x3F));
            if (--pending == 0) {
                if (written == capacity) return DECODE_OVERFLOW;
                out[written++] = accumulator;
            }
        }
        // A continuation byte with nothing pending carries no unit.
    }
    return written;
}
