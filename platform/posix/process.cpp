// The process: its arguments, its signals, its limits, its clocks, its identity.
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "platform/posix/backend.h"

void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv) {
    *out_argc = argc;
    *out_argv = argv;
}

void platform_init_process() {
    // A pipe whose reader went away, a file that reached the size limit: the
    // write fails (EPIPE, EFBIG) and is reported, the walk goes on.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void platform_raise_handle_limit() {
    // The soft limit is often far below what the process may have (1024
    // against a hard limit of a million); a deep tree needs one descriptor
    // per level.
    struct rlimit limit;
    if (SYS(SYS_PRLIMIT, prlimit(0, RLIMIT_NOFILE, 0, &limit)) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    SYS(SYS_PRLIMIT, prlimit(0, RLIMIT_NOFILE, &limit, 0));
}

uint32_t platform_tick_count() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

uint64_t platform_cycle_counter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    // A counter of similar rate where the processor has no time-stamp counter.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
#endif
}

uint32_t platform_process_id() { return (uint32_t)getpid(); }

char platform_path_separator() { return '/'; }

// --- The packer's interruptions -----------------------------------------------

static void on_interruption(int signal_number) {
    remove_output_temporary();
    // Ended by the signal itself, so the caller sees what stopped the run.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static const int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP};

void hold_interruptions(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : INTERRUPTIONS) sigaddset(&set, s);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, 0);
}

void platform_catch_interruptions() {
    platform_init_process();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_interruption;
    sigemptyset(&action.sa_mask);
    for (int s : INTERRUPTIONS) sigaddset(&action.sa_mask, s);
    for (int s : INTERRUPTIONS) {
        // A signal ignored from the start (nohup, a background job) stays so.
        struct sigaction before;
        if (sigaction(s, 0, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, 0);
    }
}
