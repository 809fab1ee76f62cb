// The extractor's fast paths must give the very tree and the very report the
// plain ones give: contents copied by the kernel rather than through the
// read-ahead window, and entries reached from the directory held open above
// them.
#include "report/exit_status.h"
#include "report/failure.h"
#include "unit_support.h"

namespace {

class KernelCopy : public InProcessExtraction {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "Windows has no in-kernel copy between two open files; the window serves every content";
#endif
        InProcessExtraction::SetUp();
    }
};

const std::string A(3000, 'a'), B(3000, 'b'), C(3000, 'c');

TEST_F(KernelCopy, SmallContentsOfALargeAverageFailLikeWrites) {
    // 3000 bytes per entry on average: every content goes through the
    // kernel, so the second file's copy is the second call.
    ASSERT_TRUE(platform_inject_fault("copy_file_range", 2, CALLS.no_space));
    EXPECT_EQ(run({{"f1", 0, A.c_str()}, {"f2", 0, B.c_str()}, {"f3", 0, C.c_str()}}), EXIT_INCOMPLETE);
    EXPECT_EQ(read_file(out / "f1"), A);
    EXPECT_EQ(read_file(out / "f2"), "");
    EXPECT_EQ(read_file(out / "f3"), C);
    EXPECT_EQ(stderr_text, "short content in <" + reported("f2") + ">, size=3000, written=0: " +
                               error_text_for(CALLS.no_space) + "\n");
    EXPECT_NE(stdout_text.find("dirs=0 files=3 outbytes=6000 "), std::string::npos) << stdout_text;
}

TEST_F(KernelCopy, SmallContentsOfASmallAverageStayInTheWindow) {
    // One large and many empty entries: under 2 KiB per entry, so a fault in
    // the kernel's copy never meets this content.
    std::vector<TestEntry> entries = {{"big", 0, A.c_str()}};
    for (const char* name : {"e1", "e2"}) entries.push_back({name, 0, ""});
    ASSERT_TRUE(platform_inject_fault("copy_file_range", 1, CALLS.no_space));
    EXPECT_EQ(run(entries), EXIT_COMPLETE);
    EXPECT_EQ(read_file(out / "big"), A);
    EXPECT_EQ(stderr_text, "");
}

TEST_F(KernelCopy, RefusedCopyFallsBackToTheWindowWithEveryByteInPlace) {
    // As between two file systems: the first call is refused before it
    // moves anything, and the window takes over from the very same offset.
    ASSERT_TRUE(platform_inject_fault("copy_file_range", 1, 18 /* EXDEV */));
    EXPECT_EQ(run({{"d", 0, nullptr}, {"f1", 1, A.c_str()}, {"f2", 1, B.c_str()}, {"f3", 0, C.c_str()}}),
              EXIT_COMPLETE);
    EXPECT_EQ(read_file(out / "d" / "f1"), A);
    EXPECT_EQ(read_file(out / "d" / "f2"), B);
    EXPECT_EQ(read_file(out / "f3"), C);
    EXPECT_EQ(stderr_text, "");
}

using HeldDirectory = InProcessExtraction;

TEST_F(HeldDirectory, NothingHeldOutlivesItsRun) {
    // The second run reuses X (no handle) and creates Y inside it. A
    // directory remembered from the first run would lead Y's entries to
    // whatever its descriptor number means by now.
    ASSERT_EQ(run({{"X", 0, nullptr}, {"W", 1, nullptr}, {"f", 2, "first"}}), EXIT_COMPLETE);
    EXPECT_EQ(run({{"X", 0, nullptr}, {"W", 1, nullptr}, {"Y", 2, nullptr}, {"g", 3, "second"}, {"h", 1, "third"}}),
              EXIT_COMPLETE);
    EXPECT_EQ(stderr_text, "");
    EXPECT_EQ(read_file(out / "X" / "W" / "f"), "first");
    EXPECT_EQ(read_file(out / "X" / "W" / "Y" / "g"), "second");
    EXPECT_EQ(read_file(out / "X" / "h"), "third");
}

}  // namespace
