// Building entry paths from the root and the name lines, the safety check
// of each component, and selection by filter.
#include <string.h>

#include "unit_support.h"
#ifndef _WIN32
#include "platform/posix/backend.h"
#endif

static const std::string PREFIX = "\\\\?\\";

static bool place(int depth, const std::string& name) {
    return place_name(depth, (const uint8_t*)name.data(), (uint32_t)name.size());
}

static std::u16string wide_text() {
    return std::u16string((const char16_t*)g_state.path.wide);
}

// What decoding the whole narrow path gives, for comparison with the wide
// path place_name built one component at a time.
static std::u16string wide_of_narrow() {
    static WideChar saved[WIDE_PATH_UNITS];
    memcpy(saved, g_state.path.wide, sizeof saved);
    decode_path_utf8();
    std::u16string decoded = wide_text();
    memcpy(g_state.path.wide, saved, sizeof saved);
    return decoded;
}

typedef ExtractTest Paths;

TEST_F(Paths, DotResolvesToThePrefixedWorkingDirectory) {
    ASSERT_TRUE(resolve_destination("."));
    const PathBuilder* p = &g_state.path;
    std::string narrow = p->narrow;
    EXPECT_EQ(narrow, PREFIX + fs::current_path().string());
    // "/..." on Linux, a drive like "Z:\..." under Wine.
    EXPECT_TRUE(fs::path(narrow.substr(PREFIX.size())).is_absolute()) << narrow;
    EXPECT_EQ(p->level_start[0], narrow.size() + 1);
    EXPECT_EQ(wide_text(), wide_of_narrow());
    EXPECT_EQ(p->wide_level_start[0], wide_text().size() + 1);
}

TEST_F(Paths, NamesReplaceTheTailFromTheirDepth) {
    ASSERT_TRUE(resolve_destination("."));
    const std::string root = g_state.path.narrow;
    struct Step {
        int depth;
        const char* name;
        const char* relative;
    } steps[] = {{0, "d", "d"},
                 {1, "xx", "d\\xx"},
                 {1, "y", "d\\y"},
                 {2, "\xC3\xA9\xED\xA0\xBD\xED\xB8\x80", "d\\y\\\xC3\xA9\xED\xA0\xBD\xED\xB8\x80"},
                 {2, "z", "d\\y\\z"},
                 {0, "e", "e"}};
    for (const Step& s : steps) {
        ASSERT_TRUE(place(s.depth, s.name)) << s.relative;
        EXPECT_STREQ(relative_path(), s.relative);
        EXPECT_EQ(std::string(g_state.path.narrow), root + "\\" + s.relative);
        EXPECT_EQ(g_state.path.level_start[s.depth + 1], root.size() + 1 + strlen(s.relative) + 1);
        EXPECT_EQ(wide_text(), wide_of_narrow()) << s.relative;
        EXPECT_EQ(g_state.path.wide_level_start[s.depth + 1], wide_text().size() + 1);
    }
}

TEST_F(Paths, RootEndingInASeparatorIsNotDoubled) {
    std::string cwd = fs::current_path().string();
    ASSERT_TRUE(resolve_destination((cwd + (char)fs::path::preferred_separator).c_str()));
    EXPECT_EQ(std::string(g_state.path.narrow), PREFIX + cwd);

    // "/" on Linux, "Z:\" under Wine.
    fs::path top = fs::current_path().root_path();
    ASSERT_TRUE(resolve_destination(top.string().c_str()));
    ASSERT_TRUE(place(0, "a"));
    EXPECT_EQ(std::string(g_state.path.narrow), PREFIX + top.root_name().string() + "\\a");
    EXPECT_STREQ(relative_path(), "a");
}

TEST_F(Paths, RootThatIsAlreadyLongOrUncGetsNoPrefix) {
#ifdef _WIN32
    for (const char* root : {"\\\\server\\share\\dir", "\\\\?\\C:\\dir"}) {
        ASSERT_TRUE(resolve_destination(root)) << root;
        EXPECT_STREQ(g_state.path.narrow, root);
        EXPECT_EQ(g_state.path.level_start[0], strlen(root) + 1);
        EXPECT_EQ(wide_text(), wide_of_narrow());
    }
#else
    // A backslash in a Linux path would be read back as a separator.
    EXPECT_FALSE(resolve_destination("\\\\server\\share"));
    EXPECT_FALSE(resolve_destination("a\\b"));
#endif
}

TEST_F(Paths, ComponentSafety) {
    ASSERT_TRUE(resolve_destination("."));
    const std::string unsafe[] = {
        "", ".", "..", "a:b", "a/b", "a\\b", std::string("a\0b", 3), "\x80", "\xC3",
        "\xC0\xAE", "\xC0\xAE\xC0\xAE", "\xE0\x80\xAE\xE0\x80\xAE", "..\x80", ".\xBF.",  // dots in disguise
        "a\xC0\xAF"
        "b",
        "a\xC1\x9C", "\xC0\xBA", "x\xC0\x80y", "\xE0\x80\xAF",  // separators, NUL
    };
    const std::string safe[] = {"...", ".x", "x.", "..a", "a b", "\xC3\xA9", "\xE0\xA4\xB9", "\xED\xA0\xBD\xED\xB8\x80"};
    for (const std::string& name : unsafe) {
        ASSERT_TRUE(place(0, "ok"));
        ASSERT_TRUE(place(1, name));
        EXPECT_FALSE(g_state.path.component_safe) << "name of " << name.size() << " bytes: " << name;
    }
    for (const std::string& name : safe) {
        ASSERT_TRUE(place(0, ".."));
        ASSERT_TRUE(place(1, name));
        EXPECT_TRUE(g_state.path.component_safe) << name;
    }
}

TEST_F(Paths, NamesThatDoNotFitAreRefusedInPlace) {
    static PathBuilder before;
    ASSERT_TRUE(resolve_destination("."));
    ASSERT_TRUE(place(0, "d"));
    // Three-byte characters fill the narrow buffer long before the wide one,
    // single bytes the wide one first.
    uint32_t narrow_room = NARROW_PATH_BYTES - 1 - g_state.path.level_start[1];
    std::string narrow_full(narrow_room % 3, 'a');
    while (narrow_full.size() < narrow_room) narrow_full += "\xE0\xA4\xB9";
    std::string wide_full(WIDE_PATH_UNITS - 1 - g_state.path.wide_level_start[1], 'w');

    for (const std::string& full : {narrow_full, wide_full}) {
        ASSERT_TRUE(place(0, "d"));
        before = g_state.path;
        EXPECT_FALSE(place(1, full + "a"));
        EXPECT_STREQ(g_state.path.narrow, before.narrow);
        EXPECT_EQ(memcmp(g_state.path.level_start, before.level_start, sizeof before.level_start), 0);
        EXPECT_EQ(memcmp(g_state.path.wide_level_start, before.wide_level_start, sizeof before.wide_level_start), 0);

        ASSERT_TRUE(place(1, full));  // exactly full
        EXPECT_TRUE(strlen(g_state.path.narrow) == NARROW_PATH_BYTES - 1 || wide_text().size() == WIDE_PATH_UNITS - 1);
        EXPECT_FALSE(place(2, ""));
        EXPECT_FALSE(place(2, "x"));
        EXPECT_EQ(g_state.path.level_start[0], before.level_start[0]);
        EXPECT_EQ(g_state.path.wide_level_start[0], before.wide_level_start[0]);
    }
}

#ifndef _WIN32
// What the user and the system give (arguments, the working directory) gets
// through UTF-16 unchanged, UTF-8 or not: no byte may be lost or changed.
TEST(SystemText, EveryByteSurvivesUtf16) {
    struct Row {
        const char* bytes;
        std::u16string units;
        bool well_formed;
    } rows[] = {
        {"caf\xC3\xA9", u"caf\u00E9", true},
        {"lat\xE9/x", u"lat\xDCE9/x", false},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00", true},
        {"\xF0\x90\x82\x80", u"\xD800\xDC80", true},                         // a pair whose low half looks escaped
        {"\xED\xB3\xA9", u"\xDCED\xDCB3\xDCA9", false},                      // an encoded surrogate is no UTF-8
        {"\xC0\xAE\xE0\x80\xAF", u"\xDCC0\xDCAE\xDCE0\xDC80\xDCAF", false},  // overlong forms
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80", false},            // beyond U+10FFFF
        {"a\xC3"
         "b\xE0\xA4",
         u"a\xDCC3"
         "b\xDCE0\xDCA4",
         false},  // cut short
        {"\xFF\x80", u"\xDCFF\xDC80", false},
    };
    for (const Row& row : rows) {
        WideChar wide[32];
        char back[64];
        bool well_formed = !row.well_formed;
        uint32_t units = system_bytes_to_utf16(row.bytes, wide, 32, &well_formed);
        ASSERT_EQ(units, row.units.size() + 1) << row.bytes;
        EXPECT_EQ(well_formed, row.well_formed) << row.bytes;
        EXPECT_EQ(std::u16string((const char16_t*)wide), row.units) << row.bytes;
        ASSERT_EQ(utf16_to_system_bytes(wide, back, sizeof back, false), strlen(row.bytes) + 1);
        EXPECT_STREQ(back, row.bytes);
    }
    // Without room for the whole text, what fits stays terminated and no pair
    // is split.
    WideChar cut[4] = {1, 1, 1, 1};
    bool well_formed = true;
    EXPECT_EQ(system_bytes_to_utf16("ab\xF0\x9F\x98\x80", cut, 4, &well_formed), 0u);
    EXPECT_EQ(std::u16string((const char16_t*)cut), u"ab");
    EXPECT_FALSE(well_formed);
    EXPECT_EQ(system_bytes_to_utf16("abc", cut, 4), 4u);
    EXPECT_EQ(system_bytes_to_utf16("abcd", cut, 4), 0u);
    EXPECT_EQ(std::u16string((const char16_t*)cut), u"abc");
    // A name from an archive is no text of the system's: its lone surrogate
    // keeps its own three bytes.
    const WideChar name[] = {'s', 0xDCE9, 0};
    char bytes[8];
    utf16_to_utf8(name, bytes, sizeof bytes, false);
    EXPECT_STREQ(bytes, "s\xED\xB3\xA9");
}
#endif

TEST(Filter, FourByteCharactersBecomeSurrogatePairs) {
    char out[32];
    EXPECT_EQ(filter_to_cesu8("a\xF0\x9F\x98\x80"
                              "b",
                              out, sizeof out),
              8u);
    EXPECT_STREQ(out,
                 "a\xED\xA0\xBD\xED\xB8\x80"
                 "b");
    // Everything else is kept as it is, malformed or not.
    for (const char* kept : {"docs\\\xC3\xA9\xE0\xA4\xB9",
                             "\xF0\x9F"
                             "ab",
                             "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xED\xA0\xBD"}) {
        EXPECT_EQ(filter_to_cesu8(kept, out, sizeof out), strlen(kept));
        EXPECT_STREQ(out, kept);
    }
    EXPECT_EQ(filter_to_cesu8("abc", out, 4), 3u);
    EXPECT_EQ(filter_to_cesu8("abc", out, 3), UINT32_MAX);
    EXPECT_EQ(filter_to_cesu8("\xF0\x9F\x98\x80", out, 7), 6u);
    EXPECT_EQ(filter_to_cesu8("\xF0\x9F\x98\x80", out, 6), UINT32_MAX);
    // A slash is a separator, as a backslash.
    EXPECT_EQ(filter_to_cesu8("docs/api/", out, sizeof out), 9u);
    EXPECT_STREQ(out, "docs\\api\\");
}

// Whether a FILTER found something (filter_reaches), and what -O takes
// (filter_names): the entries at and below the path it names.
TEST(Filter, ReachesAndNames) {
    struct Row {
        const char* filter;
        const char* path;
        bool reaches, names;
    } rows[] = {
        {"docs\\api", "docs\\api", true, true},
        {"docs\\api", "docs\\api\\x", true, true},
        {"docs\\api", "docs\\apiary", true, false},  // bytes: extracted, so found; not the file named
        {"docs\\api", "docs", false, false},         // on the way down only
        {"docs\\api\\", "docs\\api", true, true},    // a closing separator names the directory
        {"docs\\api\\\\", "docs\\api", true, true},
        {"docs\\api\\", "docs\\apiary", false, false},
        {"readme", "readme.txt", true, false},
        {"", "anything", true, true},
        {"\\", "a", false, true},  // a lone separator names the top
    };
    for (const Row& r : rows) {
        uint32_t n = (uint32_t)strlen(r.filter);
        EXPECT_EQ(filter_reaches(r.path, r.filter, n), r.reaches) << r.filter << " / " << r.path;
        EXPECT_EQ(filter_names(r.path, r.filter, n), r.names) << r.filter << " / " << r.path;
    }
}

class Selection : public ExtractTest {
  protected:
    void filter(const char* text) {
        char* argv[] = {(char*)text};
        ASSERT_TRUE(take_filters(1, argv, 0));
    }
};

TEST_F(Selection, PrefixesBothWaysByUnsignedBytes) {
    filter("docs\\api");
    for (const char* chosen : {"docs", "docs\\api", "docs\\api\\index.html", "docs\\apiary", "doc"})
        EXPECT_TRUE(select_entry(chosen)) << chosen;
    for (const char* passed : {"docs\\guide", "readme.txt", "docsy", "docs\\ap\xC3\xA9"})
        EXPECT_FALSE(select_entry(passed)) << passed;
    ::testing::internal::CaptureStdout();
    for (const char* listed : {"docs", "docs\\api\\x", "readme"}) list_entry(listed, (uint32_t)strlen(listed));
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "docs -1\ndocs\\api\\x 0\nreadme 1\n");

    filter("docs\\");
    EXPECT_TRUE(select_entry("docs") && select_entry("docs\\x"));
    EXPECT_FALSE(select_entry("docsy"));
    filter("");
    for (const char* any : {"", "docs", "\xC3\xA9"}) EXPECT_TRUE(select_entry(any)) << any;

    EXPECT_EQ(compare_prefix("\xC3\xA9", "z", 1), 1);
    EXPECT_EQ(compare_prefix("z", "\xC3\xA9", 2), -1);
    EXPECT_EQ(compare_prefix("ab", "ab", 100), 0);  // stops at the shared end
    filter("\xF0\x9F\x98\x80");                     // a name carries it as two surrogates
    EXPECT_TRUE(select_entry("\xED\xA0\xBD\xED\xB8\x80\\x"));
    EXPECT_FALSE(select_entry("\xF0\x9F\x98\x80"));
}
