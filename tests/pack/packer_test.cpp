// The packer in-process, with failures injected into the platform layer
// where a real one cannot be arranged from outside: a write or a rename that
// fails, a listing or a read that breaks off, an in-kernel copy that is not
// there, O_NOATIME that is not permitted.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/cursors.h"
#include "pack/pack.h"
#include "report/console.h"
#include "report/exit_status.h"

namespace fs = std::filesystem;

#ifdef _WIN32
static const char* const WRITE_CALL = "WriteFile";
static const char* const RENAME_CALL = "ReplaceFileW";  // out.tree exists: it is replaced
static const char* const READ_CALL = "ReadFile";
static const uint32_t IO_ERROR = 1117;  // ERROR_IO_DEVICE
#else
static const char* const WRITE_CALL = "write";
static const char* const RENAME_CALL = "renameat";
static const char* const READ_CALL = "read";
static const uint32_t IO_ERROR = 5;  // EIO
#endif

// The system's text for an error as the packer's lines carry it.
static std::string why(uint32_t code) {
    char text[WHY_BYTES];
    return error_text(code, text, sizeof text, true);
}

struct PackRun {
    int status;
    std::string err;
};

class Packer : public ::testing::Test {
  protected:
    fs::path scratch;
    void SetUp() override {
        scratch = fs::temp_directory_path() /
                  ("untree-packer-" + std::to_string(platform_process_id()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch);
        fs::create_directories(scratch / "src" / "sub");
        put("src/sub/inner.txt", std::string(100, 'i'));
        put("src/big.bin", std::string(300000, 'b'));  // long enough for the in-kernel copy
        put("src/small.txt", "small");
        fs::create_directories(scratch / "src" / "zdir");
    }
    void TearDown() override {
        platform_clear_faults();
        fs::remove_all(scratch);
    }
    void put(const char* relative, const std::string& content) {
        std::ofstream(scratch / relative, std::ios::binary) << content;
    }
    std::string at(const char* relative) { return (scratch / relative).string(); }
    PackRun pack(const char* archive = "out.tree") {
        testing::internal::CaptureStderr();
        int status = run_pack(at("src").c_str(), at(archive).c_str(), false);
        return PackRun{status, testing::internal::GetCapturedStderr()};
    }
    std::string bytes_of(const char* relative) {
        std::ifstream f(scratch / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    // Everything in the scratch folder but the source.
    std::vector<std::string> leftovers() {
        std::vector<std::string> names;
        for (const fs::directory_entry& e : fs::directory_iterator(scratch))
            if (e.path().filename() != "src") names.push_back(e.path().filename().string());
        return names;
    }
    void inject(const char* call, uint32_t nth, uint32_t error) { ASSERT_TRUE(platform_inject_fault(call, nth, error)) << call; }
};

// The names of the archive's entries, in order, with their content lengths.
static std::string entries_of(const std::string& archive) {
    static ArchiveReader reader;
    std::string listing;
    if (!open_cursors(&reader, archive.c_str())) return "unreadable";
    EntryRecord r;
    while (read_record(&reader, &r) == RECORD_ENTRY && next_line(&reader) == LINE_OK)
        listing += std::to_string(r.depth) + ":" + std::string((const char*)reader.names.line) + ":" +
                   std::to_string(content_length(r)) + " ";
    close_cursors(&reader);
    return listing;
}

TEST_F(Packer, WholeTreeInSortedPreOrder) {
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_COMPLETE) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(entries_of(at("out.tree")), "0:big.bin:300000 0:small.txt:5 0:sub:0 1:inner.txt:100 0:zdir:0 ");
    EXPECT_EQ(leftovers(), std::vector<std::string>{"out.tree"});
}

TEST_F(Packer, ArchiveThatCannotBeWrittenLeavesNothing) {
    put("out.tree", "the archive before");
    inject(WRITE_CALL, 1, IO_ERROR);
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_EARLY);
    EXPECT_EQ(r.err, "untree-pack: cannot write archive <" + at("out.tree") + ">: " + why(IO_ERROR) + "\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{"out.tree"});
    EXPECT_EQ(bytes_of("out.tree"), "the archive before");
}

TEST_F(Packer, RenameThatFailsLeavesNothing) {
    put("out.tree", "the archive before");
    inject(RENAME_CALL, 1, IO_ERROR);
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_EARLY);
    EXPECT_EQ(r.err, "untree-pack: cannot write archive <" + at("out.tree") + ">: " + why(IO_ERROR) + "\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{"out.tree"});
    EXPECT_EQ(bytes_of("out.tree"), "the archive before");
}

// Each call that finishes the archive, failing: the line that says so, exit
// status 1, and ARCHIVE as it was (but for the last step, which comes once
// the new archive is in place).
struct FinishingFault {
    const char* call;
    uint32_t nth;
    bool replacing;    // an archive stands there already
    const char* said;  // the line, up to ARCHIVE and after it
    const char* after;
    bool placed;
};

static const FinishingFault FINISHING_FAULTS[] = {
#ifdef _WIN32
    {"FlushFileBuffers", 1, true, "cannot flush archive <", "> to the disk: ", false},
    {"SetFileInformationByHandle", 2, true, "cannot write archive <", ">: ", false},  // kept from then on
    {"ReplaceFileW", 1, true, "cannot write archive <", ">: ", false},
    {"MoveFileExW", 1, false, "cannot write archive <", ">: ", false},
    {"FlushFileBuffers", 2, true, "archive <", "> written, but its directory cannot be flushed to the disk: ", true},
#else
    {"fchmod", 1, true, "cannot give archive <", "> the owner and permissions of the file it replaces: ", false},
    {"fdatasync", 1, true, "cannot flush archive <", "> to the disk: ", false},
    {"fdatasync", 1, false, "cannot flush archive <", "> to the disk: ", false},
    {"linkat", 1, true, "cannot write archive <", ">: ", false},
    {"linkat", 1, false, "cannot write archive <", ">: ", false},
    {"renameat", 1, true, "cannot write archive <", ">: ", false},
    {"fsync", 1, true, "archive <", "> written, but its directory cannot be flushed to the disk: ", true},
    {"fsync", 1, false, "archive <", "> written, but its directory cannot be flushed to the disk: ", true},
#endif
};

TEST_F(Packer, EveryFinishingCallThatFailsIsTold) {
    ASSERT_EQ(pack("plain.tree").status, EXIT_COMPLETE);
    for (const FinishingFault& f : FINISHING_FAULTS) {
        SCOPED_TRACE(std::string(f.call) + " #" + std::to_string(f.nth) + (f.replacing ? " replacing" : " new"));
        fs::remove(scratch / "out.tree");
        if (f.replacing) put("out.tree", "the archive before");
        inject(f.call, f.nth, IO_ERROR);
        PackRun r = pack();
        platform_clear_faults();
        std::string tail = f.placed ? "; a power cut may lose it\n" : "\n";
        EXPECT_EQ(r.status, EXIT_EARLY);
        EXPECT_EQ(r.err, "untree-pack: " + std::string(f.said) + at("out.tree") + f.after + why(IO_ERROR) + tail);
        std::vector<std::string> left = leftovers();
        std::sort(left.begin(), left.end());
        if (f.placed || f.replacing) {
            EXPECT_EQ(left, (std::vector<std::string>{"out.tree", "plain.tree"}));
            // The new archive's entries (Wine's reads move the times it records).
            if (f.placed) EXPECT_EQ(entries_of(at("out.tree")), entries_of(at("plain.tree")));
            else EXPECT_EQ(bytes_of("out.tree"), "the archive before");
        } else {
            EXPECT_EQ(left, std::vector<std::string>{"plain.tree"});
        }
    }
}

TEST_F(Packer, ReadErrorIsReportedAndTheLengthKept) {
    // Without copies in the kernel every content goes through the buffer:
    // big.bin fills it once and the start of it again (two reads), so the
    // bytes small.txt could not give land where big.bin's were.
    const uint64_t big = PACK_CHUNK + PACK_CHUNK / 4;
    put("src/big.bin", std::string(big, 'b'));
#ifndef _WIN32
    inject("copy_file_range", 1, 38 /* ENOSYS */);
    inject("sendfile", 1, 22 /* EINVAL */);
#endif
    inject(READ_CALL, 3, IO_ERROR);
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_INCOMPLETE);
    EXPECT_NE(r.err.find("cannot read <" + at("src") + (char)platform_path_separator() + "small.txt> after 0 of 5 bytes: "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(entries_of(at("out.tree")),
              "0:big.bin:" + std::to_string(big) + " 0:small.txt:5 0:sub:0 1:inner.txt:100 0:zdir:0 ");
    std::string archive = bytes_of("out.tree");
    EXPECT_EQ(archive.substr(big, 105), std::string(5, '\0') + std::string(100, 'i'));
}

TEST_F(Packer, ListingThatBreaksOffIsReported) {
#ifdef _WIN32
    inject("FindFirstFileExW", 2, IO_ERROR);  // the root's listing is the first
#else
    inject("getdents64", 3, IO_ERROR);  // the root's listing takes two calls
#endif
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_INCOMPLETE);
    EXPECT_NE(r.err.find("cannot list directory <" + at("src") + (char)platform_path_separator() + "sub>: "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(entries_of(at("out.tree")), "0:big.bin:300000 0:small.txt:5 0:sub:0 0:zdir:0 ");
}

#ifndef _WIN32
TEST_F(Packer, WithoutInKernelCopiesTheArchiveIsTheSame) {
    ASSERT_EQ(pack("plain.tree").status, EXIT_COMPLETE);
    inject("copy_file_range", 1, 18 /* EXDEV */);
    ASSERT_EQ(pack("sendfile.tree").status, EXIT_COMPLETE);
    inject("copy_file_range", 1, 38 /* ENOSYS */);
    inject("sendfile", 1, 22 /* EINVAL */);
    ASSERT_EQ(pack("chunks.tree").status, EXIT_COMPLETE);
    // A copy that fails after it began goes on by plain reads and writes,
    // which tell a failing source from a failing archive.
    inject("copy_file_range", 1, 5 /* EIO */);
    ASSERT_EQ(pack("resumed.tree").status, EXIT_COMPLETE);
    std::string plain = bytes_of("plain.tree");
    EXPECT_EQ(bytes_of("sendfile.tree"), plain);
    EXPECT_EQ(bytes_of("chunks.tree"), plain);
    EXPECT_EQ(bytes_of("resumed.tree"), plain);
}

TEST_F(Packer, NoatimeRefusedFallsBackSilently) {
    ASSERT_EQ(pack("plain.tree").status, EXIT_COMPLETE);
    inject("openat", 1, 1 /* EPERM */);  // the root's open
    PackRun r = pack("fallback.tree");
    EXPECT_EQ(r.status, EXIT_COMPLETE);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(bytes_of("fallback.tree"), bytes_of("plain.tree"));
}

TEST_F(Packer, AttributesThatCannotBeReadSkipTheEntry) {
    inject("statx", 2, 2 /* ENOENT: gone since it was listed */);
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_INCOMPLETE);
    EXPECT_NE(r.err.find("cannot read the attributes of <" + at("src") + "/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(">: No such file or directory; skipped\n"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST_F(Packer, WithoutStatxTheLastWriteStandsForCreation) {
    inject("statx", 1, 38 /* ENOSYS */);
    PackRun r = pack();
    EXPECT_EQ(r.status, EXIT_COMPLETE) << r.err;
    static ArchiveReader reader;
    ASSERT_TRUE(open_cursors(&reader, at("out.tree").c_str()));
    EntryRecord record;
    int entries = 0;
    while (read_record(&reader, &record) == RECORD_ENTRY) {
        EXPECT_EQ(record.creation_time, record.write_time);
        EXPECT_GT(record.write_time, 116444736000000000ull);
        entries++;
    }
    close_cursors(&reader);
    EXPECT_EQ(entries, 5);
}
#endif
