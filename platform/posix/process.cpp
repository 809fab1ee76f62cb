// The process: its arguments, its limits, its clocks, its identity.
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
