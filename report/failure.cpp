#include "report/failure.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "extract/extract.h"
#include "report/console.h"
#include "report/exit_status.h"

const char* error_text_for(uint32_t code) {
    // What the extractor refuses of its own accord has no system text.
    switch (code) {
    case REFUSED_TRAILING_DOT_OR_BLANK: return "name ends with a dot or a blank (Windows would drop it)";
    case REFUSED_DEVICE_NAME: return "reserved device name on Windows";
    case REFUSED_LINK_TOO_LONG: return "symbolic link target of 4096 bytes or more";
    case PLATFORM_REFUSED_LINK: return "a link stands there (not followed)";
    case PLATFORM_REFUSED_NOT_REGULAR: return "not a regular file";
    case PLATFORM_REFUSED_ARCHIVE: return "is the archive being read";
    case PLATFORM_REFUSED_NEWER: return "the file there is newer (kept)";
    }
    // The report line keeps the system's own line break as two blanks
    // before its end, as its readers have always seen it.
    return error_text(code, g_state.error_text, ERROR_TEXT_BYTES, false);
}

const char* system_error_text() {
    return error_text_for(platform_last_error());
}

// A built path as a report line shows it: the full path handed to the
// system, its root in the bytes the user gave, escaped on a terminal. The
// line reader's buffer is free once the name has been placed.
static const char* report_path(const WideChar* path) {
    char* narrow = (char*)g_state.archive.names.line;
    uint32_t root_end = g_state.path.wide_level_start[0];
    uint32_t root = path == g_state.path.wide && root_end > 0 ? root_end - 1 : 0;
    encode_path_utf8(path, narrow, REPORT_PATH_BYTES, root);
    return console_name(CONSOLE_ERR, narrow, (uint32_t)strlen(narrow));
}

void report_create_failure(const WideChar* path, const EntryRecord& record, uint32_t code) {
    const char* shown = report_path(path);
    const char* text = error_text_for(code);
    char size[24];
    console_err("createfile error with <%s>, attr=%04X, size=%s: %s\n", shown, (unsigned)record.attributes,
                format_i64((int64_t)content_length(record), size), text);
}

void report_directory_failure(const WideChar* path, const EntryRecord& record, uint32_t code) {
    console_err("createdirectory error with <%s>, attr=%04X: %s\n", report_path(path), (unsigned)record.attributes,
                error_text_for(code));
}

void report_kept_newer(const WideChar* path) {
    console_err("newer file kept: <%s>\n", report_path(path));
}

void report_short_content(const WideChar* path, uint64_t size, uint64_t written, const char* reason) {
    char size_digits[24], written_digits[24];
    console_err("short content in <%s>, size=%s, written=%s: %s\n", report_path(path),
                format_i64((int64_t)size, size_digits), format_i64((int64_t)written, written_digits), reason);
}

void report_call_failure(EntryCall call, const WideChar* path, uint32_t attributes, uint32_t code) {
    const char* shown = report_path(path);
    const char* text = error_text_for(code);
    if (call == CALL_SET_ATTRIBUTES)
        console_err("setattributes error with <%s>, attr=%04X: %s\n", shown, (unsigned)attributes, text);
    else if (call == CALL_SET_PERMISSIONS)
        console_err("setpermissions error with <%s>, mode=%04o: %s\n", shown, (unsigned)attributes, text);
    else if (call == CALL_MAKE_LINK)
        console_err("symlink error with <%s>: %s\n", shown, text);
    else
        console_err("%s error with <%s>: %s\n", call == CALL_SET_TIMES ? "settimes" : "close", shown, text);
}

void report_unsafe_name(const char* relative, uint32_t length) {
    console_err("unsafe name skipped: <%s>\n", console_name(CONSOLE_ERR, relative, length));
}

void report_corrupt(int32_t entry_number, const char* reason) {
    console_err("archive corrupt at entry %d: %s\n", entry_number, reason);
}

void report_index_damage(int32_t entry_number, const char* reason) {
    if (entry_number > 0) report_corrupt(entry_number, reason);
    else console_err("archive corrupt: %s\n", reason);
}

void report_checksum_mismatch(const WideChar* path) {
    console_err("checksum mismatch in <%s>\n", report_path(path));
}

void report_duplicate(const char* relative, uint32_t length, int32_t entry_number, int32_t same_as) {
    console_err("duplicate name skipped: <%s> (entry %d, the same name as entry %d)\n",
                console_name(CONSOLE_ERR, relative, length), entry_number, same_as);
}

void report_lengths(uint64_t contents, uint64_t name_region) {
    char x[24], y[24];
    console_err("archive corrupt: the contents of the files add up to %s bytes, but the name region starts at byte %s\n",
                format_u64(contents, x), format_u64(name_region, y));
}

void report_not_archive(const char* archive, const char* reason) {
    console_err("not a tree archive: <%s>: %s\n", console_name(CONSOLE_ERR, archive, (uint32_t)strlen(archive)),
                reason);
}

const char* early_error_text(uint32_t code) {
    if (code & 0x20000000) return error_text_for(code);  // our own refusals have their own texts
    return error_text(code, g_state.error_text, ERROR_TEXT_BYTES, true);
}

void say_early(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);
    console_err("untree: %s\n", text);
}

int finish_output(int status) {
    uint32_t lost = console_finish();
    if (!lost) return status;
    console_err("standard output: %s\n", error_text_for(lost));
    return EXIT_INCOMPLETE;
}
