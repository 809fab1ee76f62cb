// untree-list in-process, with faults injected into its reads: an index
// that cannot be read whole is a failure, never a shorter index taken for
// the whole one.
#include <string.h>

#include "list/list.h"
#include "report/exit_status.h"
#include "unit_support.h"

#ifdef _WIN32
static const char* const READ_CALL = "ReadFile";
#else
static const char* const READ_CALL = "read";
#endif

static int list_in_process(const std::string& archive, uint32_t failing_read, std::string* err) {
    memset(&g_list, 0, sizeof g_list);
    g_list.archive_path = archive.c_str();
    g_list.mode = MODE_CHECK;
    if (failing_read) {
        EXPECT_TRUE(platform_inject_fault(READ_CALL, failing_read, 5));
    }
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = run_list();
    ::testing::internal::GetCapturedStdout();
    *err = ::testing::internal::GetCapturedStderr();
    platform_clear_faults();
    return status;
}

TEST(ListReads, IndexThatCannotBeReadWholeFails) {
    ScratchDir dir;
    // More records than one block of the record reader holds.
    std::vector<TestEntry> entries(2000, TestEntry{"", 0, "x"});
    std::vector<std::string> names(entries.size());
    for (size_t i = 0; i < entries.size(); i++) entries[i].name = (names[i] = "f" + std::to_string(i)).c_str();
    std::string archive = dir / "a.tree";
    write_file(archive, archive_of(entries));
    std::string err;
    ASSERT_EQ(list_in_process(archive, 0, &err), EXIT_COMPLETE) << err;
    // The reads: 1 the trailer, 2 the first block of records, 3 the names,
    // 4 the second block of records.
    for (uint32_t nth : {2u, 3u, 4u}) {
        EXPECT_EQ(list_in_process(archive, nth, &err), EXIT_EARLY) << "read " << nth;
        EXPECT_EQ(err.find("untree-list: cannot read the index of " + archive), 0u) << err;
    }
}
