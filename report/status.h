// The live status line: counts and speed, printed at most every half second
// and once at the end. Whether a line is due is decided from the processor's
// cycle counter, so the common case costs one counter read per record.
#ifndef UNTREE_REPORT_STATUS_H
#define UNTREE_REPORT_STATUS_H

#include <stdint.h>

enum { STATUS_TEXT_BYTES = 256 };

struct StatusThrottle {
    uint64_t tsc_mark;
    uint32_t start_tick;
    uint32_t next_print_tick;
    uint32_t last_tick;
    bool sampled;  // last_tick holds a real sample
    char text[STATUS_TEXT_BYTES];
};

struct ExtractCounters;

void start_status();
void status_check(bool at_end);
// status_check with the clock handed in, so the arithmetic can be tested.
void status_update(bool at_end, uint64_t cycles, uint32_t (*tick_count)());
// Whether the driver checks the status line between the pieces of one file
// as well: on a terminal, so that a large file does not look like a hang; a
// file or pipe gets a line per entry at most.
bool status_within_files();
// A last line when the walk stops for a reason other than the record read.
void status_final();
// Formats the status text for an elapsed time; exposed for tests.
void format_status(uint32_t elapsed_ms);

#endif
