// --help and --version of the extractor.
#ifndef UNTREE_EXTRACT_HELP_H
#define UNTREE_EXTRACT_HELP_H

// When the one and only argument is -h, --help or --version, prints the
// answer to standard output and returns true; otherwise prints nothing.
// Only the sole argument counts, so "untree ARCHIVE DEST FILTER" keeps its
// meaning whatever the three are, and an archive named --help stays
// reachable as ./--help.
bool answer_info_request(int argc, char** argv);

#endif
