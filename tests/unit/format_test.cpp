// The record and trailer layout and the name coders.
#include <string.h>

#include "archive/format.h"
#include "unit_support.h"

typedef std::vector<uint16_t> Units;

static Units decode(const std::string& bytes, uint32_t capacity = 64) {
    Units out(capacity + 1, 0xAAAA);
    uint32_t n = decode_cesu8((const uint8_t*)bytes.data(), (uint32_t)bytes.size(), out.data(), capacity);
    EXPECT_NE(n, DECODE_OVERFLOW) << "for " << bytes.size() << " bytes";
    EXPECT_EQ(out[capacity], 0xAAAA) << "written past the capacity";
    out.resize(n == DECODE_OVERFLOW ? 0 : n);
    return out;
}

static std::string encode(const Units& units) {
    uint8_t out[64];
    uint32_t n = encode_cesu8(units.data(), (uint32_t)units.size(), out);
    return std::string((const char*)out, n);
}

TEST(Coders, KnownSequencesBothWays) {
    const struct {
        Units units;
        const char* bytes;
    } known[] = {{{0x00E9}, "\xC3\xA9"},
                 {{0x0939}, "\xE0\xA4\xB9"},
                 {{0xFFFD}, "\xEF\xBF\xBD"},
                 {{0xD83D, 0xDE00}, "\xED\xA0\xBD\xED\xB8\x80"}};
    for (const auto& k : known) {
        EXPECT_EQ(decode(k.bytes), k.units) << k.bytes;
        EXPECT_EQ(encode(k.units), k.bytes);
    }
}

TEST(Coders, EveryUnitRoundTripsInTheShortestForm) {
    for (uint32_t u = 1; u <= 0xFFFF; u++) {
        std::string bytes = encode({(uint16_t)u});
        size_t expected = u < 0x80 ? 1 : u < 0x800 ? 2
                                                   : 3;
        ASSERT_EQ(bytes.size(), expected) << "unit " << u;
        ASSERT_EQ(decode(bytes), Units({(uint16_t)u})) << "unit " << u;
    }
}

TEST(Coders, LenientDecodingShowsWhatThePlatformWillReceive) {
    EXPECT_EQ(decode("\xC0\xAE\xC0\xAE"), Units({'.', '.'}));
    EXPECT_EQ(decode("\xC0\xAF"), Units({'/'}));
    EXPECT_EQ(decode("\xC1\x9C"), Units({'\\'}));
    EXPECT_EQ(decode("\xC0\x80"), Units({0}));
    EXPECT_EQ(decode("..\x80"), Units({'.', '.'}));
    EXPECT_EQ(decode("\x80\xBF"
                     "a"),
              Units({'a'}));
    // A lead byte cut short: by ASCII, by another lead byte, by the end.
    EXPECT_EQ(decode("a\xC3"
                     "b"),
              Units({'a', 'b'}));
    EXPECT_EQ(decode("\xE0\xA4"
                     "b"),
              Units({'b'}));
    EXPECT_EQ(decode("\xE0\xA4\xC3\xA9"), Units({0x00E9}));
    EXPECT_EQ(decode("a\xE0\xA4"), Units({'a'}));
}

TEST(Coders, DecodeNeverWritesBeyondItsCapacity) {
    uint16_t out[4] = {0, 0, 0, 0x5555};
    EXPECT_EQ(decode_cesu8((const uint8_t*)"abc", 3, out, 3), 3u);
    EXPECT_EQ(decode_cesu8((const uint8_t*)"abcd", 4, out, 3), DECODE_OVERFLOW);
    EXPECT_EQ(decode_cesu8((const uint8_t*)"ab\xE0\xA4\xB9", 5, out, 2), DECODE_OVERFLOW);
    EXPECT_EQ(decode_cesu8((const uint8_t*)"ab\xE0\xA4", 4, out, 2), 2u);  // the dropped tail needs no room
    EXPECT_EQ(out[3], 0x5555);
}

TEST(Coders, EncodePathCutsAtAUnitBoundaryToFit) {
    const WideChar wide[] = {'a', 0x00E9, 0x0939, 0};  // 1 + 2 + 3 bytes
    const std::string full = "a\xC3\xA9\xE0\xA4\xB9";
    const uint32_t kept_for_capacity[] = {0, 0, 1, 1, 3, 3, 3, 6, 6};
    for (uint32_t capacity = 1; capacity <= 8; capacity++) {
        char out[16];
        memset(out, 0x7F, sizeof out);
        encode_path_utf8(wide, out, capacity);
        EXPECT_EQ(std::string(out), full.substr(0, kept_for_capacity[capacity])) << "capacity " << capacity;
        for (uint32_t i = capacity; i < sizeof out; i++) ASSERT_EQ(out[i], 0x7F) << "capacity " << capacity;
    }
}

TEST(Format, RecordAndTrailerFieldsSitAtTheirOffsets) {
    EntryRecord r = {0x04030201, 0x05, 0x06, 0x0807, 0x100F0E0D0C0B0A09ull, 0x1817161514131211ull, 0x201F1E1D1C1B1A19ull, {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28}};
    uint8_t bytes[RECORD_BYTES];
    encode_record(r, bytes);
    for (int i = 0; i < RECORD_BYTES; i++) EXPECT_EQ(bytes[i], i + 1) << "offset " << i;
    EntryRecord d;
    decode_record(bytes, &d);
    EXPECT_EQ(memcmp(&d, &r, sizeof r), 0);
    // The tests' own writer agrees: creation, write, access.
    EXPECT_EQ(record_bytes(0x0504030201ull, 6, 0x0807, r.creation_time, r.write_time, r.access_time).substr(0, 32),
              std::string((const char*)bytes, 32));

    uint8_t trailer[TRAILER_BYTES];
    encode_trailer(ArchiveTrailer{0x04030201, 0x08070605}, trailer);
    for (int i = 0; i < TRAILER_BYTES; i++) EXPECT_EQ(trailer[i], i + 1);
    ArchiveTrailer t;
    decode_trailer(trailer, &t);
    EXPECT_EQ(t.names_size, 0x04030201u);
    EXPECT_EQ(t.records_size, 0x08070605u);
}

TEST(Format, ContentLengthTakesTheHighByte) {
    EntryRecord r = {};
    r.size_low = 5;
    r.size_high = 1;
    EXPECT_EQ(content_length(r), (1ull << 32) + 5);
    r.size_low = 0xFFFFFFFF;
    r.size_high = 0xFF;
    EXPECT_EQ(content_length(r), CONTENT_LENGTH_LIMIT - 1);
}
