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
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
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

PlatformHandle platform_standard_output() { return to_handle(STDOUT_FILENO); }

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
// Every signal whose default is to end the process, but the two ignored
// (SIGPIPE, SIGXFSZ) and the one no process can catch (SIGKILL).

static const int ENDING[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS,
                             SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                             SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS};

static void on_interruption(int signal_number) {
    remove_output_temporary();
    // Ended by the signal itself, so the caller sees what stopped the run;
    // it comes once this handler returns.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

static void ending_signals(sigset_t* set) {
    sigemptyset(set);
    for (int s : ENDING) sigaddset(set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++) sigaddset(set, s);
}

void hold_interruptions(bool hold) {
    sigset_t set;
    ending_signals(&set);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, 0);
}

void platform_catch_interruptions() {
    platform_init_process();
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_interruption;
    ending_signals(&action.sa_mask);
    for (int s = 1; s < _NSIG; s++) {
        struct sigaction before;
        if (!sigismember(&action.sa_mask, s) || sigaction(s, 0, &before) != 0) continue;
        // A signal ignored from the start (nohup, a background job) stays
        // so; one another handler holds (a sanitizer's) is left to it.
        if (before.sa_handler != SIG_DFL || (before.sa_flags & SA_SIGINFO)) continue;
        sigaction(s, &action, 0);
    }
}
