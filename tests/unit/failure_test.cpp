// Failures met while writing the tree: the whole extractor runs in-process
// on a real archive, with one system call made to fail.
#ifdef _WIN32
#include <io.h>  // _findfirst: the attribute word, through the C runtime
#endif

#include "report/exit_status.h"
#include "report/failure.h"
#include "unit_support.h"

TEST(ErrorText, NeverEmptyAndFreeOfControlBytes) {
    for (uint32_t code : {platform_error_access_denied(), platform_error_already_exists(), CALLS.no_space, 0x7FFFFFF0u}) {
        std::string text = error_text_for(code);
        EXPECT_FALSE(text.empty()) << code;
        for (char c : text) EXPECT_GE((unsigned char)c, 0x20) << code << ": " << text;
    }
    // A code the system has no text for still names itself, not an older text.
    EXPECT_NE(std::string(error_text_for(0x7FFFFFF0u)).find("2147483632"), std::string::npos);
}

static const uint64_t JAN_2001 = 126227808000000000ull;  // FILETIMEs
static const uint64_t JAN_2011 = 129383136000000000ull;
static const std::vector<TestEntry> THREE_FILES = {{"f1", 0, "one"}, {"f2", 0, "two"}, {"f3", 0, "three"}};

using Extraction = InProcessExtraction;

TEST_F(Extraction, FileThatCannotBeCreatedLeavesLaterFilesTheirBytes) {
    uint32_t denied = platform_error_access_denied();
    ASSERT_TRUE(platform_inject_fault(CALLS.create, CALLS.opens_before_walk + 2, denied));
    EXPECT_EQ(run(THREE_FILES), EXIT_INCOMPLETE);
    EXPECT_EQ(read_file(out / "f1"), "one");
    EXPECT_FALSE(fs::exists(out / "f2"));
    EXPECT_EQ(read_file(out / "f3"), "three");
    EXPECT_EQ(stderr_text, "createfile error with <" + reported("f2") + ">, attr=0020, size=3: " +
                               error_text_for(denied) + "\n");
    EXPECT_NE(stdout_text.find("dirs=0 files=3 outbytes=8 "), std::string::npos) << stdout_text;
}

TEST_F(Extraction, ShortWriteIsReportedAndLaterFilesStayIntact) {
    ASSERT_TRUE(platform_inject_fault(CALLS.write, 2, CALLS.no_space));
    EXPECT_EQ(run(THREE_FILES), EXIT_INCOMPLETE);
    EXPECT_EQ(read_file(out / "f1"), "one");
    EXPECT_EQ(read_file(out / "f2"), "");
    EXPECT_EQ(read_file(out / "f3"), "three");
    EXPECT_EQ(stderr_text, "short content in <" + reported("f2") + ">, size=3, written=0: " +
                               error_text_for(CALLS.no_space) + "\n");
    EXPECT_NE(stdout_text.find("dirs=0 files=3 outbytes=8 "), std::string::npos) << stdout_text;
}

TEST_F(Extraction, ArchiveEndingEarlyIsToldAsSuch) {
    // Over an existing file, whose exclusive create leaves an error code
    // behind; through the window and through the kernel's copy.
    for (uint64_t length : {1000ull, 2ull << 20}) {
        write_file(out / "f", "old content");
        EXPECT_EQ(run(archive_of(std::string(100, 'd'), "f\n", record_bytes(length, 0, 0x20))), EXIT_INCOMPLETE);
        EXPECT_EQ(read_file(out / "f"), std::string(100, 'd'));
        EXPECT_EQ(stderr_text, "archive corrupt: the contents of the files add up to " + std::to_string(length) +
                                   " bytes, but the name region starts at byte 100\nshort content in <" +
                                   reported("f") + ">, size=" + std::to_string(length) +
                                   ", written=100: archive ends early\n");
    }
}

TEST_F(Extraction, ReadErrorsStopTheWalkInTheIndexAndCostOneFileInTheData) {
    // A run reads the trailer, the records, the names, the records and the
    // names again, then the contents.
    const std::string text = error_text_for(CALLS.io_error);
    for (uint32_t nth : {1u, 2u, 3u, 4u, 5u}) {
        ASSERT_TRUE(platform_inject_fault(CALLS.read, nth, CALLS.io_error));
        EXPECT_EQ(run(THREE_FILES), EXIT_INCOMPLETE) << nth;
        EXPECT_EQ(stderr_text, "archive corrupt at entry 1: " + text + "\n") << nth;
        EXPECT_FALSE(fs::exists(out / "f1")) << nth;
    }
    // The unreadable bytes are passed over: the next files get their own.
    ASSERT_TRUE(platform_inject_fault(CALLS.read, 6, CALLS.io_error));
    EXPECT_EQ(run(THREE_FILES), EXIT_INCOMPLETE);
    EXPECT_EQ(stderr_text, "short content in <" + reported("f1") + ">, size=3, written=0: " + text + "\n");
    EXPECT_EQ(read_file(out / "f1"), "");
    EXPECT_EQ(read_file(out / "f2"), "two");
    EXPECT_EQ(read_file(out / "f3"), "three");
}

TEST_F(Extraction, NameLinesBeyondTheLastRecordAreNoEntries) {
    EXPECT_EQ(run(archive_of("x", "a\nb\nc\n", record_bytes(1, 0, 0x20))), EXIT_COMPLETE);
    EXPECT_EQ(read_file(out / "a"), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
}

TEST_F(Extraction, DirectoryNotMadeLeavesItsEntriesALineEachAndNoTimesBehind) {
    // B exists already and is reused as it is: nothing may stamp it with the
    // times A would have had at depth 0.
    ASSERT_TRUE(fs::create_directory(out / "B"));
    fs::file_time_type b_before = fs::last_write_time(out / "B");
    uint32_t denied = platform_error_access_denied();
    ASSERT_TRUE(platform_inject_fault(CALLS.make_directory, 1, denied));
    EXPECT_EQ(run({{"A", 0, nullptr, JAN_2001},
                   {"f", 1, "x", JAN_2001},
                   {"B", 0, nullptr, JAN_2001},
                   {"C", 0, nullptr, JAN_2011},
                   {"g", 0, "g", JAN_2011}}),
              EXIT_INCOMPLETE);
    std::string denied_text = error_text_for(denied), not_found_text = error_text_for(platform_error_path_not_found());
    EXPECT_EQ(stderr_text, "createdirectory error with <" + reported("A") + ">, attr=0010: " + denied_text +
                               "\ncreatefile error with <" + reported("A\\f") + ">, attr=0020, size=1: " +
                               not_found_text + "\n");
    EXPECT_FALSE(fs::exists(out / "A"));
    EXPECT_TRUE(fs::last_write_time(out / "B") == b_before);
    EXPECT_TRUE(fs::last_write_time(out / "C") == fs::last_write_time(out / "g"));
    auto age = fs::file_time_type::clock::now() - fs::last_write_time(out / "g");
    EXPECT_GE(std::chrono::duration_cast<std::chrono::hours>(age).count() / (24 * 365), 10);
}

TEST_F(Extraction, DirectoryThatCannotBeHeldIsReportedAndPassedOver) {
    // As when descriptors run out: X\A is there but cannot be opened, so
    // nothing of its subtree is attempted, and X's next file still gets its
    // own bytes.
    ASSERT_TRUE(fs::create_directories(out / "X" / "A"));
    uint32_t nth = CALLS.opens_before_walk + 2 * CALLS.opens_of_existing_directory;  // X's, then A's
    ASSERT_TRUE(platform_inject_fault(CALLS.create, nth, CALLS.too_many_handles));
    EXPECT_EQ(run({{"X", 0, nullptr}, {"A", 1, nullptr}, {"f", 2, "in A"}, {"B", 2, nullptr}, {"h", 3, "in B"}, {"g", 1, "in X"}}),
              EXIT_INCOMPLETE);
    EXPECT_EQ(stderr_text, "createdirectory error with <" + reported("X\\A") + ">, attr=0010: " +
                               error_text_for(CALLS.too_many_handles) + "\n");
    EXPECT_TRUE(fs::is_empty(out / "X" / "A"));
    EXPECT_EQ(read_file(out / "X" / "g"), "in X");
}

TEST_F(Extraction, FileWithAnotherNameKeepsItWhenThisNameCannotBeRemoved) {
    // The file at f has a second name: f is to get a new file of its own,
    // and when its old name cannot be removed, the other name's content
    // stays as it was and nothing is written.
    write_file(dir.path / "other", "outside");
    fs::create_hard_link(dir.path / "other", out / "f");
    uint32_t denied = platform_error_access_denied();
    ASSERT_TRUE(platform_inject_fault(CALLS.remove_name, 1, denied));
    EXPECT_EQ(run({{"f", 0, "archived"}, {"g", 0, "g"}}), EXIT_INCOMPLETE);
    EXPECT_EQ(stderr_text, "createfile error with <" + reported("f") + ">, attr=0020, size=8: " +
                               error_text_for(denied) + "\n");
    EXPECT_EQ(read_file(dir.path / "other"), "outside");
    EXPECT_EQ(read_file(out / "f"), "outside");
    EXPECT_EQ(read_file(out / "g"), "g");
}

TEST_F(Extraction, AttributesComeEvenWhenTimesFail) {
    // The first time call fails: Windows sets the directory's times alone
    // (a file's come with its attributes), Linux the file's (a directory
    // has no attribute there). It is reported; the attributes come all the
    // same, and the failure costs nothing else.
    uint32_t denied = platform_error_access_denied();
    ASSERT_TRUE(platform_inject_fault(CALLS.set_times, 1, denied));
    EXPECT_EQ(run({{"A", 0, nullptr, JAN_2001, 0x0012}, {"f", 1, "x", JAN_2011, 0x0021}}), EXIT_INCOMPLETE);  // hidden
#ifdef _WIN32
    const char* failed = "A";
#else
    const char* failed = "A\\f";
#endif
    EXPECT_EQ(stderr_text, "settimes error with <" + reported(failed) + ">: " + error_text_for(denied) + "\n");
    EXPECT_EQ(read_file(out / "A" / "f"), "x");
    EXPECT_EQ(fs::status(out / "A" / "f").permissions() & fs::perms::owner_write, fs::perms::none);
#ifdef _WIN32
    _finddata_t found;
    intptr_t search = _findfirst((out / "A").string().c_str(), &found);
    ASSERT_NE(search, -1);
    _findclose(search);
    EXPECT_EQ(found.attrib & (_A_HIDDEN | _A_SUBDIR), (unsigned)(_A_HIDDEN | _A_SUBDIR));
#else
    auto age = fs::file_time_type::clock::now() - fs::last_write_time(out / "A");
    EXPECT_GE(std::chrono::duration_cast<std::chrono::hours>(age).count() / (24 * 365), 20);
#endif
}

TEST_F(Extraction, FailedCallsOnAnEntryMadeAreReported) {
    // Each row makes one call on an entry already made fail: the entry's
    // close (a write the file system could not make after all), its times,
    // its attribute word. A line each, with the system's text; everything
    // else comes out, and the run ends incomplete.
    struct Row {
        const char* call;
        uint32_t nth;
        const char* line;  // what failed
        const char* name;  // on which entry
        const char* tail;  // what the line says after the path
    };
    // Calls in order: f1's, then D's own at its creation, g's, D's at the end.
#ifdef _WIN32
    const Row rows[] = {{"CloseHandle", 1, "close", "f1", ""},
                        {"CloseHandle", 3, "close", "D", ""},
                        {"SetFileInformationByHandle", 1, "setattributes", "f1", ", attr=0021"},
                        {"SetFileInformationByHandle", 2, "setattributes", "D", ", attr=0012"},
                        {"SetFileTime", 1, "settimes", "D", ""}};
#else
    const Row rows[] = {{"close", 1, "close", "f1", ""},
                        {"close", 3, "close", "D", ""},
                        {"futimens", 1, "settimes", "f1", ""},
                        {"futimens", 3, "settimes", "D", ""}};
#endif
    int n = 0;
    for (const Row& row : rows) {
        // A destination each: a read-only file, or one still open after a
        // close that failed, stays where it is on Windows.
        out = dir.path / ("row" + std::to_string(n++));
        fs::create_directory(out);
        ASSERT_TRUE(platform_inject_fault(row.call, row.nth, CALLS.io_error)) << row.call;
        EXPECT_EQ(run({{"f1", 0, "one", JAN_2001, 0x0021}, {"D", 0, nullptr, JAN_2001, 0x0012}, {"g", 1, "g", JAN_2011}}),
                  EXIT_INCOMPLETE)
            << row.call << " " << row.nth;
        EXPECT_EQ(stderr_text, std::string(row.line) + " error with <" + reported(row.name) + ">" + row.tail + ": " +
                                   error_text_for(CALLS.io_error) + "\n");
        EXPECT_EQ(read_file(out / "f1"), "one") << row.call << " " << row.nth;
        EXPECT_EQ(read_file(out / "D" / "g"), "g") << row.call << " " << row.nth;
    }
}
