// What the packer says on standard error: one line per thing worth telling,
// each starting with the program's name; on a terminal also a live progress
// line (entries and bytes so far) and a summary at the end. Nothing but the
// lines themselves goes to a file or a pipe. All of it goes through the
// console layer, so that a Windows console shows names in its own
// characters, not as UTF-8 bytes read in its code page.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pack/pack.h"
#include "report/console.h"

enum { PROGRESS_WIDTH = 78,
       PROGRESS_INTERVAL_MS = 500 };

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
    console_err("\r%*s\r", PROGRESS_WIDTH, "");
    g_progress.showing = false;
}

void tell_list(const char* format, va_list args, const char* ending) {
    // Formatted whole first, so that the line goes out in one write. Most
    // lines fit the small buffer; a deep path takes a larger one, kept for
    // the next.
    static char small[4096];
    static char* large;
    static size_t large_size;
    va_list again;
    va_copy(again, args);
    char* text = small;
    int n = vsnprintf(small, sizeof small, format, args);
    if (n >= (int)sizeof small) {
        if ((size_t)n >= large_size) {
            char* grown = (char*)realloc(large, (size_t)n + 1);
            if (grown) large = grown, large_size = (size_t)n + 1;
        }
        // Out of memory, the line is cut short rather than lost.
        if ((size_t)n < large_size) text = large, vsnprintf(large, large_size, format, again);
    }
    va_end(again);
    progress_clear();
    console_err("untree-pack: %s%s\n", text, ending);
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
    (void)snprintf(text, sizeof text, "%s directories, %s files, %s bytes so far", format_i64(directories, d),
                   format_i64(files, f), format_i64((int64_t)bytes, b));
    // Padded so that it covers a longer line before it.
    console_err("\runtree-pack: %-*.*s\r", PROGRESS_WIDTH - 13, PROGRESS_WIDTH - 13, text);
    g_progress.showing = true;
}

void progress_finish(uint32_t directories, uint32_t files, uint64_t bytes, uint32_t reported, const char* archive) {
    if (!g_progress.terminal) return;
    char d[24], f[24], b[24], r[24], also[64] = "";
    progress_clear();
    if (reported) (void)snprintf(also, sizeof also, "; %s reported above", format_i64(reported, r));
    console_err("untree-pack: %s directories, %s files, %s bytes packed into <%s>%s\n", format_i64(directories, d),
                format_i64(files, f), format_i64((int64_t)bytes, b), archive, also);
}
