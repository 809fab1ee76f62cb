// The archive file: contents appended as the walk meets them, the index at
// the end, all in a temporary file that only becomes ARCHIVE when it is whole.
#include <stdlib.h>
#include <string.h>

#include "archive/checksum.h"
#include "pack/pack.h"
#include "report/console.h"

static const char LONG_PATH_PREFIX[] = "\\\\?\\";

static uint32_t ascii_to_wide(const char* text, WideChar* out) {
    uint32_t n = 0;
    for (; text[n]; n++) out[n] = (WideChar)(uint8_t)text[n];
    out[n] = 0;
    return n;
}

uint32_t long_path_of(const char* argument, WideChar* out, uint32_t capacity) {
    static WideChar wide[PLATFORM_WIDE_PATH_UNITS];
    static WideChar full[PLATFORM_WIDE_PATH_UNITS];
    if (platform_argument_to_wide(argument, wide, PLATFORM_WIDE_PATH_UNITS) == 0) return 0;
    uint32_t n = platform_full_path(wide, full, PLATFORM_WIDE_PATH_UNITS);
    if (n == 0 || n >= PLATFORM_WIDE_PATH_UNITS) return 0;

    // "C:\x" takes the prefix, "\\server\share\x" becomes "\\?\UNC\server\share\x";
    // a path that has a prefix already, or a POSIX path, stays as it is.
    const WideChar* rest = full;
    const char* prefix = "";
    if (full[0] == '\\' && full[1] == '\\') {
        if (full[2] != '?' && full[2] != '.') {
            prefix = "\\\\?\\UNC\\";
            rest = full + 2;
        }
    } else if (n >= 2 && full[1] == ':') {
        prefix = LONG_PATH_PREFIX;
    }
    uint32_t p = (uint32_t)strlen(prefix);
    uint32_t r = n - (uint32_t)(rest - full);
    if (p + r + 1 > capacity) return 0;
    ascii_to_wide(prefix, out);
    memcpy(out + p, rest, (r + 1) * sizeof(WideChar));
    return p + r;
}

bool output_open(ArchiveOutput* out, const char* archive_argument) {
    out->display = archive_argument;
    out->buffer = (uint8_t*)malloc(PACK_CHUNK);
    if (!out->buffer) {
        tell("cannot write archive <%s>: out of memory", archive_argument);
        return false;
    }
    if (strcmp(archive_argument, "-") == 0) {
        out->handle = platform_output_standard(&out->target);
        if (out->handle == PLATFORM_NO_HANDLE) {
            uint32_t error = platform_last_error();
            char why[WHY_BYTES];
            if (platform_is_terminal(stdout)) tell("cannot write archive <->: standard output is a terminal");
            else tell("cannot write archive <->: %s", error_text(error, why, sizeof why, true));
            return false;
        }
        return true;
    }
    static WideChar path[PLATFORM_WIDE_PATH_UNITS];
    uint32_t n = long_path_of(archive_argument, path, PLATFORM_WIDE_PATH_UNITS);
    if (n == 0) {
        tell("cannot write archive <%s>: not a usable path on this system", archive_argument);
        return false;
    }
    // A backslash would be taken for a separator on its way to the system.
    WideChar foreign = platform_foreign_separator();
    for (uint32_t i = 0; foreign && i < n; i++)
        if (path[i] == foreign) {
            tell("cannot write archive <%s>: a backslash in its path", archive_argument);
            return false;
        }
    out->handle = platform_output_open(archive_argument, path, &out->target);
    if (out->handle != PLATFORM_NO_HANDLE) return true;
    char why[WHY_BYTES];
    if (out->target.kind == PLATFORM_TARGET_DIRECTORY)
        tell("cannot write archive <%s>: it is a directory", archive_argument);
    else
        tell("cannot write archive <%s>: %s", archive_argument, error_text(platform_last_error(), why, sizeof why, true));
    return false;
}

bool output_leaves_out(const ArchiveOutput* out, uint64_t volume, uint64_t index) {
    for (uint32_t i = 0; i < out->target.left_out; i++)
        if (out->target.volume[i] == volume && out->target.index[i] == index) return true;
    return false;
}

static bool flush(ArchiveOutput* out) {
    if (out->failed) return false;
    if (out->fill == 0) return true;
    uint32_t n = platform_write(out->handle, out->buffer, out->fill);
    if (n != out->fill) {
        out->error = platform_last_error();
        out->failed = true;
        return false;
    }
    out->fill = 0;
    return true;
}

void output_append(ArchiveOutput* out, const void* bytes, uint32_t length) {
    out->crc = 0;
    const uint8_t* p = (const uint8_t*)bytes;
    while (length > 0) {
        if (out->fill == PACK_CHUNK && !flush(out)) return;
        uint32_t n = PACK_CHUNK - out->fill;
        if (n > length) n = length;
        memcpy(out->buffer + out->fill, p, n);
        if (out->checksums) out->crc = crc32c(out->crc, p, n);
        out->fill += n;
        out->data_bytes += n;
        p += n;
        length -= n;
    }
}

CopyOutcome output_copy(ArchiveOutput* out, PlatformHandle source, uint64_t length) {
    CopyOutcome result = {0, 0};
    out->crc = 0;
    if (!out->no_send_file && !out->checksums) {
        if (!flush(out)) return result;
        // A copy the platform refused once (other file systems, a pipe, no
        // such call) is not asked for again.
        int64_t n = out->no_copy_range ? -1 : platform_copy_in_kernel(source, out->handle, length);
        if (n < 0) {
            out->no_copy_range = true;
            n = platform_send_file(source, out->handle, length);
            if (n < 0) out->no_send_file = true;
        }
        if (n > 0) {
            result.read = (uint64_t)n;
            out->data_bytes += (uint64_t)n;
        }
        // A copy that stopped short, for whatever reason, goes on with plain
        // reads and writes, which tell a failing source from a failing archive.
    }
    while (result.read < length) {
        if (out->fill == PACK_CHUNK && !flush(out)) return result;
        uint64_t left = length - result.read;
        uint32_t want = PACK_CHUNK - out->fill;
        if (want > left) want = (uint32_t)left;
        uint32_t error;
        uint32_t n = platform_read(source, out->buffer + out->fill, want, &error);
        if (out->checksums) out->crc = crc32c(out->crc, out->buffer + out->fill, n);
        out->fill += n;
        out->data_bytes += n;
        result.read += n;
        if (n < want) {
            result.read_error = error;
            break;
        }
    }
    // The record already holds the length: the bytes that did not come are
    // zeros, so that the next file's content starts where the reader expects.
    uint64_t missing = length - result.read;
    while (missing > 0) {
        if (out->fill == PACK_CHUNK && !flush(out)) return result;
        uint32_t n = PACK_CHUNK - out->fill;
        if (n > missing) n = (uint32_t)missing;
        memset(out->buffer + out->fill, 0, n);
        if (out->checksums) out->crc = crc32c(out->crc, out->buffer + out->fill, n);
        out->fill += n;
        out->data_bytes += n;
        missing -= n;
    }
    return result;
}

void output_abandon(ArchiveOutput* out) {
    if (out->handle == PLATFORM_NO_HANDLE) return;
    bool removed = platform_output_discard(out->handle);
    out->handle = PLATFORM_NO_HANDLE;
    if (!removed) {
        uint32_t error = platform_last_error();
        char name[512], why[WHY_BYTES];
        if (platform_output_temporary_name(name, sizeof name) == 0) strcpy(name, "?");
        tell("cannot remove the temporary file <%s> beside <%s>: %s", name, out->display,
             error_text(error, why, sizeof why, true));
    }
}

bool output_finish(ArchiveOutput* out, const IndexWriter* index) {
    char why[WHY_BYTES];
    if (!flush(out) || !index_write(index, out->handle)) {
        uint32_t error = out->failed ? out->error : platform_last_error();
        tell("cannot write archive <%s>: %s", out->display, error_text(error, why, sizeof why, true));
        output_abandon(out);
        return false;
    }
    uint32_t step = platform_output_commit(out->handle);
    out->handle = PLATFORM_NO_HANDLE;
    if (step == PLATFORM_COMMIT_DONE) return true;
    const char* text = error_text(platform_last_error(), why, sizeof why, true);
    switch (step) {
    case PLATFORM_COMMIT_PERMISSIONS:
        tell("cannot give archive <%s> the owner and permissions of the file it replaces: %s", out->display, text);
        break;
    case PLATFORM_COMMIT_FLUSH: tell("cannot flush archive <%s> to the disk: %s", out->display, text); break;
    case PLATFORM_COMMIT_DIRECTORY:
        tell("archive <%s> written, but its directory cannot be flushed to the disk: %s; a power cut may lose it",
             out->display, text);
        break;
    default: tell("cannot write archive <%s>: %s", out->display, text); break;
    }
    return false;
}
