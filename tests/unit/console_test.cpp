// Lines as a terminal gets them: names escaped so that it shows them, and a
// Windows console's UTF-16.
#include <string.h>

#include "report/console.h"
#include "report/escape.h"
#include "unit_support.h"

static std::string escaped(const std::string& name, size_t capacity = 256) {
    char out[256];
    size_t n = escape_name(name.data(), name.size(), ESCAPE_FOR_TERMINAL, out, capacity);
    EXPECT_EQ(n, strlen(out));
    return out;
}

TEST(Terminal, NamesShowWhatCouldDriveItAsHex) {
    struct Row {
        std::string name, shown;
    } rows[] = {
        {"del\x7F", "del\\x7F"},
        {"\x9B"
         "31m",
         "\\x9B31m"},  // a C1 control in one byte
        {"c1\xC2\x85"
         "end",
         "c1\\xC2\\x85end"},                                               // the same as a character
        {"\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9"},                          // no control: kept
        {"\xED\xA0\xBD\xED\xB8\x80.", "\xF0\x9F\x98\x80."},                // a name's surrogate pair: its character
        {"\xED\xA0\xBDx\xED\xB8\x80", "\\xED\\xA0\\xBDx\\xED\\xB8\\x80"},  // lone ones are none
        {"\xED\xA0\xBD\xED\xA0\xBD", "\\xED\\xA0\\xBD\\xED\\xA0\\xBD"},    // two high ones make no pair
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},                                  // U+D7FF, just below them
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"cut\xE0\xA4", "cut\\xE0\\xA4"},
        {"\xE0\x80\x9B", "\\xE0\\x80\\x9B"},  // overlong: no character
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const Row& row : rows) EXPECT_EQ(escaped(row.name), row.shown) << row.shown;
    // Cut to fit, never inside an escape or a character.
    EXPECT_EQ(escaped("ab\x1B", 6), "ab");
    EXPECT_EQ(escaped("ab\x1B", 7), "ab\\x1B");
    EXPECT_EQ(escaped("a\xC3\xA9", 3), "a");
    EXPECT_EQ(escaped("a\xED\xA0\xBD\xED\xB8\x80", 5), "a");
    EXPECT_EQ(escaped("a\xED\xA0\xBD\xED\xB8\x80", 6), "a\xF0\x9F\x98\x80");
    // Off a terminal only a NUL is escaped: every other byte is the name's.
    char out[32];
    const std::string nul("ctl\x1B\0\xFF\xED\xA0\xBD\xED\xB8\x80", 12);
    EXPECT_EQ(escape_name(nul.data(), nul.size(), ESCAPE_NUL, out, sizeof out), 15u);
    EXPECT_EQ(std::string(out), "ctl\x1B\\x00\xFF\xED\xA0\xBD\xED\xB8\x80");
}

TEST(Terminal, ConsoleLinesBecomeUtf16) {
    struct Row {
        std::string line;
        std::u16string units;
    } rows[] = {
        {"caf\xC3\xA9 0\n", u"caf\u00E9 0\r\n"},  // a text stream's line end
        {"dirs=1   \r", u"dirs=1   \r"},
        {"\xED\xA0\xBD\xED\xB8\x80 \xE0\xA4\xB9", u"\xD83D\xDE00 \u0939"},
        {"\xF0\x9F\x98\x80.", u"\xD83D\xDE00."},  // the same character joined, as untree-list prints it
        {"a\\x1B", u"a\\x1B"},
    };
    for (const Row& row : rows) {
        WideChar out[32];
        uint32_t used = 0;
        uint32_t units = console_text_to_utf16(row.line.data(), (uint32_t)row.line.size(), out, 32, &used);
        EXPECT_EQ(used, row.line.size());
        EXPECT_EQ(std::u16string((const char16_t*)out, units), row.units) << row.line;
    }
    // Only whole characters, and a whole line end, go into a piece.
    WideChar out[4];
    uint32_t used = 0;
    EXPECT_EQ(console_text_to_utf16("ab\xE0\xA4\xB9", 5, out, 4, &used), 2u);
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(console_text_to_utf16("abc\n", 4, out, 4, &used), 3u);
    EXPECT_EQ(used, 3u);
}

TEST(Console, SystemTextFitsOneLine) {
    // Windows ends its messages in CR LF; a report line keeps them as two
    // blanks, other lines drop them.
    struct Row {
        std::string text;
        bool trim;
        std::string fit;
    } rows[] = {
        {"Access is denied.\r\n", false, "Access is denied.  "},
        {"Access is denied.\r\n", true, "Access is denied."},
        {"tab\tesc\x1B\x1F\x7F end", true, "tab esc  \x7F end"},
        {"\r\n", true, ""},
    };
    for (Row& row : rows) {
        std::string text = row.text;
        uint32_t n = fit_one_line(&text[0], (uint32_t)text.size(), row.trim);
        EXPECT_EQ(text.substr(0, n), row.fit) << row.text;
        EXPECT_EQ(strlen(text.c_str()), n) << row.text;
    }
}
