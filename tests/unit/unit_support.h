// Shared by the unit tests: real files in a scratch folder, and an archive
// writer of the tests' own, independent of the product's encoders.
#ifndef UNTREE_TESTS_UNIT_SUPPORT_H
#define UNTREE_TESTS_UNIT_SUPPORT_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "extract/extract.h"

namespace fs = std::filesystem;

inline void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back((char)(uint8_t)(value >> (8 * i)));
}

inline std::string record_bytes(uint64_t length, uint8_t depth, uint16_t attributes, uint64_t creation = 0,
                                uint64_t write = 0, uint64_t access = 0) {
    std::string r;
    put_le(r, length, 5);
    r += (char)depth;
    put_le(r, attributes, 2);
    put_le(r, creation, 8);
    put_le(r, write, 8);
    put_le(r, access, 8);
    return r + std::string(8, '\0');
}

inline std::string trailer_bytes(uint64_t names_size, uint64_t records_size) {
    std::string t;
    put_le(t, names_size | records_size << 32, 8);
    return t;
}

inline std::string archive_of(const std::string& data, const std::string& names, const std::string& records) {
    return data + names + records + trailer_bytes(names.size(), records.size());
}

struct TestEntry {
    const char* name;
    int depth;
    const char* content;  // null for a directory
    uint64_t write_time = 0;
    uint16_t attributes = 0;
};

inline std::string archive_of(const std::vector<TestEntry>& entries) {
    std::string data, names, records;
    for (const TestEntry& e : entries) {
        std::string content = e.content ? e.content : "";
        uint16_t attributes = e.attributes ? e.attributes : e.content ? 0x20
                                                                      : 0x10;
        data += content;
        names += std::string(e.name) + "\n";
        records += record_bytes(content.size(), (uint8_t)e.depth, attributes, e.write_time, e.write_time, e.write_time);
    }
    return archive_of(data, names, records);
}

inline void write_file(const fs::path& path, const std::string& bytes) {
    FILE* f = fopen(path.string().c_str(), "wb");
    ASSERT_NE(f, nullptr) << path.string();
    fwrite(bytes.data(), 1, bytes.size(), f);
    ASSERT_EQ(fclose(f), 0);
}

inline std::string read_file(const fs::path& path) {
    FILE* f = fopen(path.string().c_str(), "rb");
    if (!f) return "<missing>";
    std::string bytes;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

// A folder of its own, claimed by creating it (other builds may be running
// their tests at the same time), removed with its contents at the end.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        uint64_t stamp = (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
        std::error_code ec;
        for (uint32_t i = 0; !fs::create_directory(path, ec); i++)
            path = fs::temp_directory_path() / ("untree-unit-" + std::to_string(stamp % 1000000007u + i));
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const char* name) const { return (path / name).string(); }
};

// The backend's names for the calls a fault is injected into. Opening the
// archive and the destination takes `opens_before_walk` of the create calls
// before the walk starts.
struct SystemCalls {
    const char* create;  // files, and the directories the walk enters
    uint32_t opens_before_walk;
    uint32_t opens_of_existing_directory;  // the last of them opens it
    const char* make_directory;            // its first call for a directory entry
    const char* set_times;                 // of a directory; of a file too where it has no attribute apart
    const char* remove_name;               // a name of a file with more than one
    const char* write;
    const char* seek;
    uint32_t no_space;
    uint32_t too_many_handles;
    const char* read;
    uint32_t io_error;
};
#ifdef _WIN32
static const SystemCalls CALLS = {"NtCreateFile", 0, 2, "NtCreateFile", "SetFileTime", "SetFileInformationByHandle",
                                  "WriteFile", "SetFilePointer", 112 /* ERROR_DISK_FULL */,
                                  4 /* ERROR_TOO_MANY_OPEN_FILES */, "ReadFile", 30 /* ERROR_READ_FAULT */};
#else
static const SystemCalls CALLS = {"openat", 1, 1, "mkdirat", "futimens", "unlinkat", "write", "lseek", 28 /* ENOSPC */,
                                  24 /* EMFILE */, "read", 5 /* EIO */};
#endif

// Every test starts from the state a fresh process has.
class ExtractTest : public ::testing::Test {
  protected:
    void SetUp() override { reset_extract_state(); }
    void TearDown() override { platform_clear_faults(); }
};

// The whole extractor run in-process, as `untree <scratch>/test.tree
// <scratch>/out`, with what it prints captured. A fault injected before
// run() meets this run only.
class InProcessExtraction : public ExtractTest {
  protected:
    ScratchDir dir;
    fs::path out = dir.path / "out";
    std::string stdout_text, stderr_text;

    void SetUp() override {
        ExtractTest::SetUp();
        fs::create_directory(out);
    }
    int run(const std::vector<TestEntry>& entries) { return run(archive_of(entries)); }
    int run(const std::string& archive_bytes) {
        reset_extract_state();
        std::string archive = dir / "test.tree", destination = out.string();
        write_file(archive, archive_bytes);
        char* argv[] = {(char*)"untree", (char*)archive.c_str(), (char*)destination.c_str(), nullptr};
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = run_extract(3, argv);
        stdout_text = ::testing::internal::GetCapturedStdout();
        stderr_text = ::testing::internal::GetCapturedStderr();
        platform_clear_faults();
        return status;
    }
    // The path as the report shows it: the one handed to the system.
    std::string reported(const char* name) const { return "\\\\?\\" + out.string() + "\\" + name; }
};

#endif
