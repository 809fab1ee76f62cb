#include <gtest/gtest.h>
#include "archive/format.h"
TEST(Format, RecordRoundTrip) {
    EntryRecord r = {};
    r.size_low = 5; r.size_high = 1; r.depth = 3; r.attributes = 0x21;
    r.creation_time = 1; r.write_time = 2; r.access_time = 3;
    uint8_t b[RECORD_BYTES];
    encode_record(r, b);
    EXPECT_EQ(b[4], 1); EXPECT_EQ(b[5], 3); EXPECT_EQ(b[6], 0x21); EXPECT_EQ(b[16], 2); EXPECT_EQ(b[24], 3);
    EntryRecord d;
    decode_record(b, &d);
    EXPECT_EQ(content_length(d), (1ull << 32) + 5);
}
