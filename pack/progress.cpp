// What the packer says on standard error: one line per thing worth telling,
// each starting with the program's name; on a terminal also a live progress
// line (entries and bytes so far) and a summary at the end. Nothing but the
// lines themselves goes to a file or a pipe.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "pack/pack.h"
#include "report/console.h"

enum { PROGRESS_WIDTH = 78, PROGRESS_INTERVAL_MS = 500 };

static struct {
    bool terminal;
    bool showing;  // a progress line stands on the terminal's last row
    uint32_t last_tick;
} g_progress;

void progress_start() {
    memset(&g_progress, 0, sizeof g_progress);
    g_progress.terminal = platform_is_terminal(stderr);
    g_progress.last_tick = platform_tick_count();
}

void progress_clear() {
    if (!g_progress.showing) return;
    fprintf(stderr, "\r%*s\r", PROGRESS_WIDTH, "");
    g_progress.showing = false;
}

void tell_list(const char* format, va_list args, const char* ending) {
    progress_clear();
    fputs("untree-pack: ", stderr);
    vfprintf(stderr, format, args);
    fputs(ending, stderr);
    fputc('\n', stderr);
}

void tell(const char* format, ...) {
    va_list args;
    va_start(args, format);
    tell_list(format, args, "");
    va_end(args);
}

void progress_update(uint32_t directories, uint32_t files, uint64_t bytes) {
    if (!g_progress.terminal) return;
    uint32_t now = platform_tick_count();
    if (now - g_progress.last_tick < PROGRESS_INTERVAL_MS) return;
    g_progress.last_tick = now;
    char d[24], f[24], b[24], text[128];
    snprintf(text, sizeof text, "%s directories, %s files, %s bytes so far", format_i64(directories, d),
             format_i64(files, f), format_i64((int64_t)bytes, b));
    // Padded so that it covers a longer line before it.
    fprintf(stderr, "\runtree-pack: %-*.*s\r", PROGRESS_WIDTH - 13, PROGRESS_WIDTH - 13, text);
    fflush(stderr);
    g_progress.showing = true;
}

void progress_finish(uint32_t directories, uint32_t files, uint64_t bytes, uint32_t reported, const char* archive) {
    if (!g_progress.terminal) return;
    char d[24], f[24], b[24], r[24];
    progress_clear();
    fprintf(stderr, "untree-pack: %s directories, %s files, %s bytes packed into <%s>", format_i64(directories, d),
            format_i64(files, f), format_i64((int64_t)bytes, b), archive);
    if (reported) fprintf(stderr, "; %s reported above", format_i64(reported, r));
    fputc('\n', stderr);
    fflush(stderr);
}
