// The process: its arguments, its signals, its limits, its clocks, its identity.
#include "platform/win32/backend.h"

// After windows.h, which they need.
#include <intrin.h>
#include <shellapi.h>
#include <stdlib.h>

void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv) {
    // The narrow argument list is in the ANSI code page and loses what it
    // cannot show; the wide command line has every character.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) {
        *out_argc = argc;
        *out_argv = argv;
        return;
    }
    char** utf8 = (char**)calloc((size_t)count + 1, sizeof(char*));
    for (int i = 0; i < count; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, NULL, 0, NULL, NULL);
        utf8[i] = (char*)malloc(n > 0 ? (size_t)n : 1);
        if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], n, NULL, NULL) == 0) utf8[i][0] = 0;
    }
    LocalFree(wide);
    *out_argc = count;
    *out_argv = utf8;
}

// No signal ends a Windows process at a failed write: WriteFile fails.
void platform_init_process() {}

void platform_raise_handle_limit() {
    // Windows grants each process millions of handles from the start.
}

PlatformHandle platform_standard_output() {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    return h == INVALID_HANDLE_VALUE ? PLATFORM_NO_HANDLE : to_handle(h);
}

uint32_t platform_tick_count() { return GetTickCount(); }

uint64_t platform_cycle_counter() { return __rdtsc(); }

uint32_t platform_process_id() { return GetCurrentProcessId(); }

char platform_path_separator() { return '\\'; }

// --- The packer's interruptions -----------------------------------------------

// Runs on a thread of its own. The temporary file is deleted (for good once
// the process has ended and its handle is closed); then the process ends
// with the status Ctrl-C and Ctrl-Break give, or, when the console goes
// away, as the system ends it. Ended on the spot, as a signal ends it
// elsewhere: ExitProcess would first stop the main thread wherever it is
// and then run the libraries' exit code, which can wait for ever for a lock
// the stopped thread held (the main thread stopped in a report on a pipe
// that nobody reads left the process hanging so under Wine).
static BOOL WINAPI on_console_event(DWORD event) {
    remove_output_temporary();
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        TerminateProcess(GetCurrentProcess(), (UINT)STATUS_CONTROL_C_EXIT);
    return FALSE;
}

void platform_catch_interruptions() { SetConsoleCtrlHandler(on_console_event, TRUE); }
