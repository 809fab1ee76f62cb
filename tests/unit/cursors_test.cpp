// Reading real archive files through the three cursors: records, name lines
// and the data region, each bounded to its own region.
#include "archive/cursors.h"
#include "unit_support.h"

class Cursors : public ExtractTest {
  protected:
    ScratchDir dir;
    bool opened = false;
    ArchiveReader* reader = &g_state.archive;
    EntryRecord record;

    void open(const std::string& bytes) {
        if (opened) close_cursors(reader);
        write_file(dir / "test.tree", bytes);
        ASSERT_TRUE(opened = open_cursors(reader, (dir / "test.tree").c_str()));
    }
    void TearDown() override {
        if (opened) close_cursors(reader);  // before the folder goes
        ExtractTest::TearDown();
    }
    RecordResult next_record() { return read_record(reader, &record); }
    std::string line() const { return std::string((const char*)reader->names.line, reader->names.line_length); }
    std::string take(uint64_t wanted) {
        const uint8_t* bytes = nullptr;
        uint32_t n = data_take(reader, wanted, &bytes);
        return std::string((const char*)bytes, n);
    }
};

TEST_F(Cursors, ArchivesWithoutEntries) {
    for (const std::string& bytes : {std::string(), std::string(7, '\x28'), archive_of("some data", "", "")}) {
        open(bytes);
        EXPECT_EQ(reader->index_fault, nullptr) << bytes.size() << " bytes";
        EXPECT_EQ(next_record(), RECORD_END) << bytes.size() << " bytes";
        EXPECT_EQ(next_line(reader), LINE_END);
    }
}

TEST_F(Cursors, RecordRegionRemainders) {
    for (uint32_t remainder = 0; remainder < RECORD_BYTES; remainder++) {
        std::string records = record_bytes(3, 0, 0x10) + record_bytes((1ull << 32) + 5, 1, 0x20, 1, 2, 3);
        open(archive_of("", "d\nf\n", records + std::string(remainder, '\x40')));
        ASSERT_EQ(next_record(), RECORD_ENTRY);
        EXPECT_TRUE(record.depth == 0 && is_directory(record));
        ASSERT_EQ(next_record(), RECORD_ENTRY);
        EXPECT_EQ(record.depth, 1);
        EXPECT_EQ(content_length(record), (1ull << 32) + 5);
        EXPECT_TRUE(record.creation_time == 1 && record.write_time == 2 && record.access_time == 3);
        // 32 or more leftover bytes would have made a record with the trailer.
        EXPECT_EQ(next_record(), remainder < 32 ? RECORD_END : RECORD_CORRUPT) << "remainder " << remainder;
    }
}

TEST_F(Cursors, NameLinesKeepCrCrossBlocksAndHaveALimit) {
    std::string longest(65535, 'L');  // with its LF, exactly the first block
    std::string filler(65530, 'x');
    std::string crossing = "ab\r" + std::string(20, 'y');  // across the second block's end
    std::string names;
    const std::string lines[] = {longest, filler, crossing, "\r", longest, std::string(65536, 'M')};
    for (const std::string& l : lines) names += l + "\n";
    std::string records;
    for (int i = 0; i < 6; i++) records += record_bytes(0, 0, 0x20);
    open(archive_of("", names, records));
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(next_line(reader), LINE_OK) << "line " << i;
        EXPECT_EQ(line(), lines[i]) << "line " << i;
        EXPECT_EQ(reader->names.line[reader->names.line_length], 0);
    }
    EXPECT_EQ(next_line(reader), LINE_TOO_LONG);
}

TEST_F(Cursors, NamesEndWithTheNameRegion) {
    // Fewer lines than records: the record bytes behind the names hold LFs
    // (a size of 10) but must never be taken as a name.
    std::string records = record_bytes(10, 0, 0x20) + record_bytes(10, 0, 0x20);
    open(archive_of(std::string(20, 'c'), "a\n", records));
    ASSERT_EQ(next_line(reader), LINE_OK);
    EXPECT_EQ(line(), "a");
    EXPECT_EQ(next_line(reader), LINE_END);
    EXPECT_EQ(next_line(reader), LINE_END);

    open(archive_of("", "unterminated", record_bytes(0, 0, 0x20)));
    EXPECT_EQ(next_line(reader), LINE_END);
}

TEST_F(Cursors, TrailerPlacingTheIndexOutsideTheFile) {
    // Before the start; and by a sum that wraps in 32 bits to fit the file.
    for (const std::string& bytes :
         {"xy" + trailer_bytes(100, 0), record_bytes(0, 0, 0x20) + trailer_bytes(0xFFFFFFD0u, RECORD_BYTES)}) {
        open(bytes);
        EXPECT_NE(reader->index_fault, nullptr);
        EXPECT_EQ(next_record(), RECORD_CORRUPT);
        EXPECT_EQ(next_line(reader), LINE_END);
        EXPECT_EQ(take(10), "");
    }
}

TEST_F(Cursors, IndexRegionsStayBelowTwoGiB) {
    // Names, records and trailer of 2^31 - 1 bytes are taken; 2^31 are not.
    // The file is exactly that long, sparse: only the trailer is written.
    for (uint64_t index : {(1ull << 31) - 1, 1ull << 31}) {
        if (opened) close_cursors(reader);
        opened = false;
        std::string path = dir / "big.tree";
        write_file(path, "");
        fs::resize_file(path, index - TRAILER_BYTES);
        FILE* f = fopen(path.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::string trailer = trailer_bytes(index - TRAILER_BYTES - RECORD_BYTES, RECORD_BYTES);
        ASSERT_EQ(fwrite(trailer.data(), 1, trailer.size(), f), trailer.size());
        ASSERT_EQ(fclose(f), 0);
        ASSERT_TRUE(opened = open_cursors(reader, path.c_str()));
        EXPECT_EQ(reader->file_size, index);
        EXPECT_EQ(reader->index_fault == nullptr, index < (1ull << 31)) << index;
    }
}

TEST_F(Cursors, DataRegionEndsWhereTheNamesBegin) {
    const std::string archive = archive_of("hello world", "f\n", record_bytes(100, 0, 0x20));
    open(archive);
    EXPECT_EQ(take(5), "hello");
    EXPECT_EQ(take(100), " world");
    EXPECT_EQ(take(100), "");

    open(archive);
    EXPECT_EQ(data_skip(reader, 6), 6u);  // nothing buffered: a seek
    EXPECT_EQ(take(100), "world");
    EXPECT_EQ(data_skip(reader, 100), 0u);

    open(archive);
    EXPECT_EQ(take(2), "he");
    EXPECT_EQ(data_skip(reader, 100), 9u);  // the rest of the window, nothing beyond it
    EXPECT_EQ(take(100), "");

    open(archive);
    EXPECT_EQ(data_skip(reader, 100), 11u);
    EXPECT_EQ(take(100), "");

    // Where seeks are refused, the skip reads through the window instead.
    open(archive);
    ASSERT_TRUE(platform_inject_fault(CALLS.seek, 1, 5));
    EXPECT_EQ(data_skip(reader, 6), 6u);
    EXPECT_EQ(take(3), "wor");
    open(archive);
    ASSERT_TRUE(platform_inject_fault(CALLS.seek, 1, 5));
    EXPECT_EQ(data_skip(reader, 100), 11u);
    EXPECT_EQ(take(100), "");
}
