// The status throttle's arithmetic, driven by a fake cycle counter and clock.
#include <string.h>

#include "report/console.h"
#include "report/status.h"
#include "unit_support.h"

static uint32_t g_tick;
static int g_tick_reads;
static uint32_t fake_tick() {
    g_tick_reads++;
    return g_tick;
}

static const uint64_t SAMPLE_CYCLES = 100000000;

class Status : public ExtractTest {
  protected:
    void SetUp() override {
        ExtractTest::SetUp();
        // As start_status leaves it, the walk having started at tick 1000.
        g_state.status.start_tick = g_state.status.next_print_tick = 1000;
        g_tick_reads = 0;
        ::testing::internal::CaptureStdout();
    }
    void TearDown() override {
        ::testing::internal::GetCapturedStdout();
        ExtractTest::TearDown();
    }
    // One check; the text of the line it printed, or "" when it printed none.
    std::string update(bool at_end, uint64_t cycles, uint32_t tick) {
        g_tick = tick;
        g_state.status.text[0] = 0;
        status_update(at_end, cycles, fake_tick);
        return g_state.status.text;
    }
    std::string printed() {
        fflush(stdout);
        std::string s = ::testing::internal::GetCapturedStdout();
        ::testing::internal::CaptureStdout();
        return s;
    }
};

TEST_F(Status, SamplesOnlyPastTheCycleMark) {
    g_state.counters.outbytes = 5000;
    EXPECT_EQ(update(false, 50, 99999), "");
    // No sample yet: elapsed 0, not 0 - start_tick (whose divisor wraps to 0).
    EXPECT_EQ(update(true, SAMPLE_CYCLES, 99999), "dirs=0 files=0 outbytes=5000 speed=5");
    EXPECT_EQ(g_tick_reads, 0);

    update(false, SAMPLE_CYCLES + 1, 1000);
    EXPECT_EQ(g_tick_reads, 1);
    uint64_t mark = g_state.status.tsc_mark;
    EXPECT_EQ(mark, SAMPLE_CYCLES + 1 + 100);
    update(false, mark + SAMPLE_CYCLES, 1000);
    EXPECT_EQ(g_tick_reads, 1);
    update(false, mark + SAMPLE_CYCLES + 1, 1000);
    EXPECT_EQ(g_tick_reads, 2);
}

TEST_F(Status, PrintsMoreThanHalfASecondApartAndAlwaysAtTheEnd) {
    uint64_t cycles = 0;
    auto sample = [&](uint32_t tick) { return update(false, cycles += 2 * SAMPLE_CYCLES, tick); };
    EXPECT_EQ(sample(1000), "");  // not after the start tick
    EXPECT_NE(sample(1001), "");
    EXPECT_EQ(sample(1501), "");  // 500 ms later is not more than 500 ms
    EXPECT_NE(sample(1502), "");
    EXPECT_EQ(sample(1600), "");
    EXPECT_EQ(g_tick_reads, 5);
    printed();

    // At the end, from the last sample, whether or not this check samples.
    g_state.counters.outbytes = 3000;
    EXPECT_EQ(update(true, cycles + 1, 5000), "dirs=0 files=0 outbytes=3000 speed=1");  // 3000 / (600 + 1000)
    EXPECT_EQ(update(true, cycles += 2 * SAMPLE_CYCLES, 1700), "dirs=0 files=0 outbytes=3000 speed=1");
    std::string padded = "dirs=0 files=0 outbytes=3000 speed=1" + std::string(78 - 36, ' ') + "\r";
    EXPECT_EQ(printed(), padded + padded);
    // A sample that prints is the end line itself, not one more.
    EXPECT_NE(update(true, cycles += 2 * SAMPLE_CYCLES, 2500), "");
    EXPECT_EQ(printed().size(), padded.size());
}

TEST_F(Status, SpeedUsesAThirtyTwoBitDivisor) {
    ExtractCounters* c = &g_state.counters;
    c->outbytes = 999 * 7;
    format_status(0xFFFFFFFFu);  // elapsed + 1000 wraps to 999
    EXPECT_STREQ(g_state.status.text, "dirs=0 files=0 outbytes=6993 speed=7");
    format_status(0xFFFFFC18u);  // wraps to 0: no fault
    EXPECT_NE(strstr(g_state.status.text, "outbytes=6993 speed="), nullptr);

    c->dirs = 3;
    c->files = 10;
    c->outbytes = 0;
    format_status(12345);
    EXPECT_STREQ(g_state.status.text, "dirs=3 files=10 outbytes=0 speed=0");
    c->outbytes = 1ull << 32;
    format_status(0);
    EXPECT_STREQ(g_state.status.text, "dirs=3 files=10 outbytes=4294967296 speed=4294967");
    c->outbytes = 1ull << 40;
    format_status(0);
    EXPECT_STREQ(g_state.status.text, "dirs=3 files=10 outbytes=1099511627776 speed=1099511627");
}

TEST(Console, SixtyFourBitDecimals) {
    char buffer[24];
    EXPECT_STREQ(format_i64(0, buffer), "0");
    EXPECT_STREQ(format_i64(-1, buffer), "-1");
    EXPECT_STREQ(format_i64(1ll << 40, buffer), "1099511627776");
    EXPECT_STREQ(format_i64(INT64_MAX, buffer), "9223372036854775807");
    EXPECT_STREQ(format_i64(INT64_MIN, buffer), "-9223372036854775808");
}
