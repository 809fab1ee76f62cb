// What is wrong with an archive's index, in the words untree-list --check
// and untree-mount both say it: one wording, so that a refused mount names
// the problem exactly as a check of the same archive does.
#pragma once

#include <stdint.h>

#include "archive/index.h"

enum { PROBLEM_TEXT_BYTES = 256 };

// The trailer's regions do not fit the file (the cursors' index_fault), or
// null when they do.
const char* regions_problem(const ArchiveReader* archive, char text[PROBLEM_TEXT_BYTES]);
// A record region that is no whole number of records.
const char* records_left_over_problem(uint32_t left_over, char text[PROBLEM_TEXT_BYTES]);
// Why the walk cannot go on at its current entry (index_stops), or null:
// its nesting, else its name line or path.
const char* entry_stop_problem(const IndexWalk* walk, char text[PROBLEM_TEXT_BYTES]);
const char* name_problem(const IndexWalk* walk, char text[PROBLEM_TEXT_BYTES]);
// Once the records are read: name lines left after the last record's
// (`extra` bytes), or contents that do not add up to the data region; null
// when neither.
const char* extra_names_problem(uint64_t extra, char text[PROBLEM_TEXT_BYTES]);
const char* contents_sum_problem(uint64_t contents, uint64_t data, char text[PROBLEM_TEXT_BYTES]);
