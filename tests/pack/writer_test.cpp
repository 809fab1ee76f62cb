// The writing side of the format: what the index refuses, and that what it
// writes is read back entry for entry by the extractor's own cursors.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/cursors.h"
#include "archive/writer.h"

namespace fs = std::filesystem;

static const uint16_t A[] = {'a'};
static const uint16_t B[] = {'b'};

static EntryRecord record_at(int depth, bool directory, uint64_t length = 0) {
    EntryRecord r;
    memset(&r, 0, sizeof r);
    r.depth = (uint8_t)depth;
    r.attributes = directory ? ATTRIBUTE_DIRECTORY : ATTRIBUTE_ARCHIVE;
    set_content_length(&r, length);
    return r;
}

static std::vector<uint16_t> units_of(const char* ascii) {
    return std::vector<uint16_t>(ascii, ascii + strlen(ascii));
}

TEST(IndexWriter, KeepsDepthFirstNesting) {
    IndexWriter index;
    index_init(&index);
    EXPECT_EQ(index_add(&index, A, 1, record_at(1, true)), INDEX_OUT_OF_ORDER);  // the first is at depth 0
    EXPECT_EQ(index_add(&index, A, 1, record_at(0, false)), INDEX_ADDED);
    EXPECT_EQ(index_add(&index, B, 1, record_at(1, false)), INDEX_OUT_OF_ORDER);  // under a file
    EXPECT_EQ(index_add(&index, B, 1, record_at(0, true)), INDEX_ADDED);
    for (int depth = 1; depth <= 254; depth++)
        ASSERT_EQ(index_add(&index, A, 1, record_at(depth, true)), INDEX_ADDED) << depth;
    EXPECT_EQ(index_add(&index, A, 1, record_at(255, false)), INDEX_TOO_DEEP);
    EXPECT_EQ(index_add(&index, A, 1, record_at(3, false)), INDEX_ADDED);  // back up any number of levels
    EXPECT_EQ(index_add(&index, A, 1, record_at(5, false)), INDEX_OUT_OF_ORDER);
    EXPECT_EQ(index.entries, 257u);
    EXPECT_EQ(index.records.size, 257u * RECORD_BYTES);
    EXPECT_EQ(index.names.size, 257u * 2);  // nothing of a refused entry stays
    index_free(&index);
}

TEST(IndexWriter, RefusesNamesTheExtractorWouldRefuse) {
    const char* bad[] = {"", ".", "..", "a\\b", "c:d", "e/f", "g\nh"};
    for (const char* name : bad) {
        std::vector<uint16_t> u = units_of(name);
        EXPECT_NE(name_fault(u.data(), (uint32_t)u.size()), nullptr) << name;
    }
    const uint16_t nul[] = {'a', 0, 'b'};
    EXPECT_NE(name_fault(nul, 3), nullptr);
    const char* good[] = {"...", ".a", "a b", "a\rb", "*?<>|\""};
    for (const char* name : good) {
        std::vector<uint16_t> u = units_of(name);
        EXPECT_EQ(name_fault(u.data(), (uint32_t)u.size()), nullptr) << name;
    }
    // A name line is shorter than 65,536 bytes: 21,845 three-byte units make
    // 65,535, one more unit is too many; the bytes decide, not the units.
    std::vector<uint16_t> wide(21845, 0x4E2D);
    EXPECT_EQ(name_fault(wide.data(), (uint32_t)wide.size()), nullptr);
    wide.push_back('x');
    EXPECT_STREQ(name_fault(wide.data(), (uint32_t)wide.size()), "name too long");
    std::vector<uint16_t> ascii(65535, 'x');
    EXPECT_EQ(name_fault(ascii.data(), (uint32_t)ascii.size()), nullptr);

    IndexWriter index;
    index_init(&index);
    EXPECT_EQ(index_add(&index, nul, 3, record_at(0, false)), INDEX_BAD_NAME);
    EXPECT_EQ(index.entries, 0u);
    index_free(&index);
}

TEST(IndexWriter, StopsAtTheRegionLimitExactly) {
    // "a\n" + one record + the trailer: 50 bytes, which must stay below the limit.
    IndexWriter index;
    index_init(&index);
    index.limit = 50;
    EXPECT_EQ(index_add(&index, A, 1, record_at(0, false)), INDEX_TOO_LARGE);
    EXPECT_EQ(index_bytes(&index), (uint64_t)TRAILER_BYTES);
    index.limit = 51;
    EXPECT_EQ(index_add(&index, A, 1, record_at(0, false)), INDEX_ADDED);
    // A three-byte name line is counted by its bytes, not its worst case.
    const uint16_t e_acute[] = {0xE9};  // two bytes
    index.limit = 50 + 3 + RECORD_BYTES + 1;
    EXPECT_EQ(index_add(&index, e_acute, 1, record_at(0, false)), INDEX_ADDED);
    EXPECT_EQ(index_add(&index, A, 1, record_at(0, false)), INDEX_TOO_LARGE);
    index_free(&index);
}

TEST(IndexWriter, KeepsPathsWithinWhatTheExtractorBuilds) {
    // Both measures count: 28,672 units of ASCII fit, one more does not; in
    // three-byte units the 61,440 bytes are reached first.
    IndexWriter index;
    index_init(&index);
    std::vector<uint16_t> name(200, 'n');
    int depth = 0;
    for (; (depth + 1) * 201 - 1 <= ARCHIVE_PATH_UNITS - 272; depth++)
        ASSERT_EQ(index_add(&index, name.data(), 200, record_at(depth, true)), INDEX_ADDED) << depth;
    uint32_t room = ARCHIVE_PATH_UNITS - index.path_units[depth - 1] - 1;
    std::vector<uint16_t> last(room + 1, 'x');
    EXPECT_FALSE(index_path_fits(&index, depth, last.data(), room + 1));
    EXPECT_EQ(index_add(&index, last.data(), room + 1, record_at(depth, false)), INDEX_PATH_TOO_LONG);
    EXPECT_EQ(index_add(&index, last.data(), room, record_at(depth, false)), INDEX_ADDED);
    EXPECT_EQ(index.path_units[depth], (uint32_t)ARCHIVE_PATH_UNITS);
    index_free(&index);

    index_init(&index);
    std::vector<uint16_t> han(200, 0x4E2D);  // 600 bytes, 200 units
    depth = 0;
    for (; (depth + 1) * 601 - 1 <= ARCHIVE_PATH_BYTES; depth++)
        ASSERT_EQ(index_add(&index, han.data(), 200, record_at(depth, true)), INDEX_ADDED) << depth;
    EXPECT_LT(index.path_units[depth - 1] + 201, (uint32_t)ARCHIVE_PATH_UNITS);  // the bytes decide
    EXPECT_EQ(index_add(&index, han.data(), 200, record_at(depth, true)), INDEX_PATH_TOO_LONG);
    index_free(&index);
}

// Writes an index behind a data region and reads the file back with the
// extractor's cursors.
TEST(IndexWriter, WhatItWritesTheReaderReads) {
    fs::path dir = fs::temp_directory_path() / ("untree-writer-" + std::to_string(platform_process_id()));
    fs::create_directories(dir);
    fs::path file = dir / "a.tree";
    std::string narrow = file.string();
    std::vector<WideChar> wide(narrow.begin(), narrow.end());
    wide.push_back(0);
    fs::remove(file);
    PlatformTarget target;
    PlatformHandle out = platform_output_open(narrow.c_str(), wide.data(), &target);
    ASSERT_NE(out, PLATFORM_NO_HANDLE);
    ASSERT_EQ(platform_write(out, "hello", 5), 5u);

    IndexWriter index;
    index_init(&index);
    const uint16_t smile[] = {0xD83D, 0xDE00, '.', 't'};  // U+1F600 as its surrogates
    EntryRecord dir_record = record_at(0, true, 77);      // a directory's length is not kept
    dir_record.write_time = 0x01D9000000000001ull;
    dir_record.reserved[3] = 9;  // nor are reserved bytes
    EntryRecord file_record = record_at(1, false, 5);
    file_record.size_high = 0;
    file_record.creation_time = 1, file_record.write_time = 2, file_record.access_time = 3;
    ASSERT_EQ(index_add(&index, A, 1, dir_record), INDEX_ADDED);
    ASSERT_EQ(index_add(&index, smile, 4, file_record), INDEX_ADDED);
    ASSERT_EQ(index_add(&index, B, 1, record_at(0, false)), INDEX_ADDED);
    ASSERT_TRUE(index_write(&index, out));
    ASSERT_EQ(platform_output_commit(out), (uint32_t)PLATFORM_COMMIT_DONE);
    index_free(&index);
    EXPECT_EQ(fs::file_size(file), 5u + (2 + 9 + 2) + 3 * 40 + 8);

    static ArchiveReader reader;
    ASSERT_TRUE(open_cursors(&reader, narrow.c_str()));
    EntryRecord r;
    ASSERT_EQ(read_record(&reader, &r), RECORD_ENTRY);
    EXPECT_EQ(content_length(r), 0u);
    EXPECT_EQ(r.write_time, 0x01D9000000000001ull);
    EXPECT_EQ(r.reserved[3], 0);
    ASSERT_EQ(next_line(&reader), LINE_OK);
    EXPECT_EQ(std::string((const char*)reader.names.line, reader.names.line_length), "a");
    ASSERT_EQ(read_record(&reader, &r), RECORD_ENTRY);
    EXPECT_EQ(r.depth, 1);
    EXPECT_EQ(content_length(r), 5u);
    // Each time in its own field: the order on disk is creation, write, access.
    EXPECT_EQ(r.creation_time, 1u);
    EXPECT_EQ(r.write_time, 2u);
    EXPECT_EQ(r.access_time, 3u);
    ASSERT_EQ(next_line(&reader), LINE_OK);
    EXPECT_EQ(std::string((const char*)reader.names.line, reader.names.line_length),
              "\xED\xA0\xBD\xED\xB8\x80.t");
    const uint8_t* bytes;
    ASSERT_EQ(data_take(&reader, 5, &bytes), 5u);
    EXPECT_EQ(memcmp(bytes, "hello", 5), 0);
    ASSERT_EQ(read_record(&reader, &r), RECORD_ENTRY);
    ASSERT_EQ(next_line(&reader), LINE_OK);
    EXPECT_EQ(read_record(&reader, &r), RECORD_END);
    close_cursors(&reader);
    fs::remove_all(dir);
}
