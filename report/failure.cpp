#include "report/failure.h"

#include "extract/extract.h"
#include "report/console.h"

const char* error_text_for(uint32_t code) {
    // What the extractor refuses of its own accord has no system text.
    switch (code) {
    case PLATFORM_REFUSED_LINK: return "a link stands there (not followed)";
    case PLATFORM_REFUSED_NOT_REGULAR: return "not a regular file";
    case PLATFORM_REFUSED_ARCHIVE: return "is the archive being read";
    case PLATFORM_REFUSED_DUPLICATE: return "already extracted by this run (the same name up to case)";
    }
    char* text = g_state.error_text;
    uint32_t length = platform_error_text(code, text, ERROR_TEXT_BYTES);
    if (length == 0) {
        char digits[24];
        snprintf(text, ERROR_TEXT_BYTES, "system error %s", format_i64(code, digits));
        return text;
    }
    // The system's message ends in a line break of its own; the report line
    // brings its own, so every control byte becomes a blank.
    for (uint32_t i = 0; i < length; i++)
        if ((unsigned char)text[i] < 0x20) text[i] = ' ';
    return text;
}

const char* system_error_text() {
    return error_text_for(platform_last_error());
}

// The line reader's buffer is free once the name has been placed.
static char* report_path_buffer() {
    return (char*)g_state.archive.names.line;
}

void report_create_failure(const WideChar* path, const EntryRecord& record, uint32_t code) {
    char* narrow = report_path_buffer();
    encode_path_utf8(path, narrow, REPORT_PATH_BYTES);
    const char* text = error_text_for(code);
    char size[24];
    console_err("createfile error with <%s>, attr=%04X, size=%s: %s\n", narrow, (unsigned)record.attributes,
                format_i64((int64_t)content_length(record), size), text);
}

void report_directory_failure(const WideChar* path, const EntryRecord& record, uint32_t code) {
    char* narrow = report_path_buffer();
    encode_path_utf8(path, narrow, REPORT_PATH_BYTES);
    console_err("createdirectory error with <%s>, attr=%04X: %s\n", narrow, (unsigned)record.attributes,
                error_text_for(code));
}

void report_short_content(const WideChar* path, uint64_t size, uint64_t written, const char* reason) {
    char* narrow = report_path_buffer();
    encode_path_utf8(path, narrow, REPORT_PATH_BYTES);
    char size_digits[24], written_digits[24];
    console_err("short content in <%s>, size=%s, written=%s: %s\n", narrow, format_i64((int64_t)size, size_digits),
                format_i64((int64_t)written, written_digits), reason);
}

void report_unsafe_name(const char* relative) {
    console_err("unsafe name skipped: <%s>\n", relative);
}

void report_corrupt(int32_t entry_number, const char* reason) {
    console_err("archive corrupt at entry %d: %s\n", entry_number, reason);
}
