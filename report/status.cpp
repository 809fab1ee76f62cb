#include "report/status.h"

#include <stdio.h>

#include "extract/extract.h"
#include "report/console.h"

enum {
    CYCLES_BETWEEN_SAMPLES = 100000000,
    PRINT_INTERVAL_MS = 500,
};

void start_status() {
    StatusThrottle* s = &g_state.status;
    uint32_t t = platform_tick_count();
    s->start_tick = t;
    s->next_print_tick = t;
    s->tsc_mark = 0;
    s->last_tick = 0;
    s->sampled = false;
}

void format_status(uint32_t elapsed_ms) {
    const ExtractCounters* c = &g_state.counters;
    uint32_t divisor = elapsed_ms + 1000u;
    // After about 49.7 days of walking the divisor wraps to 0; show 0 then.
    uint64_t speed = divisor ? c->outbytes / divisor : 0;
    char outbytes[24];
    (void)snprintf(g_state.status.text, sizeof g_state.status.text, "dirs=%d files=%d outbytes=%s speed=%d",
                   c->dirs, c->files, format_i64((int64_t)c->outbytes, outbytes), (int32_t)(uint32_t)speed);
}

static void print_status(uint32_t elapsed_ms) {
    format_status(elapsed_ms);
    console_status(g_state.status.text);
}

void status_update(bool at_end, uint64_t cycles, uint32_t (*tick_count)()) {
    StatusThrottle* s = &g_state.status;
    if (cycles > s->tsc_mark + CYCLES_BETWEEN_SAMPLES) {
        s->tsc_mark = cycles + 100;
        uint32_t t = tick_count();
        s->last_tick = t;
        s->sampled = true;
        if (t > s->next_print_tick) {
            s->next_print_tick = t + PRINT_INTERVAL_MS;
            print_status(t - s->start_tick);
            return;
        }
    }
    if (at_end) {
        // Without any sample yet, last_tick is no time at all: measure from
        // the start instead of from tick 0.
        uint32_t elapsed = s->sampled ? s->last_tick - s->start_tick : 0;
        print_status(elapsed);
    }
}

void status_check(bool at_end) {
    status_update(at_end, platform_cycle_counter(), platform_tick_count);
}

bool status_within_files() { return console_is_terminal(CONSOLE_OUT); }

void status_final() {
    StatusThrottle* s = &g_state.status;
    print_status(platform_tick_count() - s->start_tick);
}
