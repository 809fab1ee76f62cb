// CRC-32C on both of its paths, and the extension's footer.
#include <string.h>

#include <vector>

#include "archive/checksum.h"
#include "archive/extension.h"
#include "unit_support.h"

TEST(Checksum, KnownValuesOnBothPaths) {
    // The check values of the two CRCs, and the vectors of RFC 3720 (iSCSI).
    std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF), rising(32);
    for (int i = 0; i < 32; i++) rising[i] = (uint8_t)i;
    const struct {
        const void* bytes;
        size_t length;
        uint32_t crc;
    } known[] = {{"123456789", 9, 0xE3069283u}, {zeros.data(), 32, 0x8A9136AAu}, {ones.data(), 32, 0x62A8AB43u}, {rising.data(), 32, 0x46DD794Eu}, {"", 0, 0}};
    for (const auto& k : known) {
        EXPECT_EQ(crc32c_portable(0, k.bytes, k.length), k.crc);
        EXPECT_EQ(crc32c_hardware(0, k.bytes, k.length), k.crc);
        EXPECT_EQ(crc32c(0, k.bytes, k.length), k.crc);
    }
    EXPECT_EQ(crc16(0, "123456789", 9), 0x906E);
}

TEST(Checksum, PathsAgreeOverLengthsAlignmentsAndPieces) {
    // Long enough for the three streams and the sixteen folded pieces
    // several times over, at every alignment, in one piece and in uneven
    // pieces; 255 to 511 bytes take the folding path's edges.
    std::vector<uint8_t> data(3 * 4096 * 5 + 77);
    uint32_t x = 12345;
    for (auto& b : data) b = (uint8_t)((x = x * 1103515245u + 12345u) >> 24);
    const size_t lengths[] = {1, 7, 8, 63, 255, 256, 257, 511, 4096, 3 * 4096 - 1, 3 * 4096, 3 * 4096 + 9,
                              2 * 3 * 4096 + 1000, data.size() - 8};
    for (size_t at = 0; at < 8; at++)
        for (size_t length : lengths) {
            uint32_t portable = crc32c_portable(0, data.data() + at, length);
            EXPECT_EQ(crc32c_hardware(0, data.data() + at, length), portable) << at << " " << length;
            uint32_t pieces = 0, joined = 0;
            for (size_t done = 0, step = 1; done < length; done += step, step = step * 3 + 1) {
                size_t n = step < length - done ? step : length - done;
                pieces = crc32c(pieces, data.data() + at + done, n);
                joined = crc32c_combine(joined, crc32c(0, data.data() + at + done, n), n);
            }
            EXPECT_EQ(pieces, portable) << at << " " << length;
            EXPECT_EQ(joined, portable) << at << " " << length;
        }
    if (!crc32c_hardware_available()) GTEST_LOG_(INFO) << "no SSE4.2 here: both paths were the portable one";
}

TEST(Extension, FooterRoundTripsAndAnyOneDamagedByteIsTold) {
    ExtensionFooter f = {EXTENSION_VERSION, 165, 400, 0x01234567u, 0x89ABCDEFu};
    uint8_t bytes[FOOTER_BYTES];
    encode_footer(f, bytes);
    ArchiveTrailer trailer = {165, 400};
    ExtensionFooter back;
    const char* why = 0;
    ASSERT_EQ(decode_footer(bytes, trailer, &back, &why), FOOTER_VALID);
    EXPECT_EQ(memcmp(&back, &f, sizeof f), 0);
    // Never taken for a plain archive, never taken as whole.
    for (int at = 0; at < FOOTER_BYTES; at++)
        for (int bit = 0; bit < 8; bit++) {
            uint8_t damaged[FOOTER_BYTES];
            memcpy(damaged, bytes, sizeof damaged);
            damaged[at] ^= (uint8_t)(1 << bit);
            EXPECT_EQ(decode_footer(damaged, trailer, &back, &why), FOOTER_DAMAGED) << at << " " << bit;
        }
    ArchiveTrailer other = {166, 400};
    EXPECT_EQ(decode_footer(bytes, other, &back, &why), FOOTER_DAMAGED);
    EXPECT_STREQ(why, "trailer does not match the extension footer");
    memset(bytes, 'x', sizeof bytes);
    EXPECT_EQ(decode_footer(bytes, trailer, &back, &why), FOOTER_ABSENT);
}
