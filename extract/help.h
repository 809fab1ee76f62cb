// The extractor's command line: its options, --help and --version.
#ifndef UNTREE_EXTRACT_HELP_H
#define UNTREE_EXTRACT_HELP_H

// Reads the options before ARCHIVE into g_state.options (GNU style: long
// names, short letters that may go together, "--" ends them; on Windows
// also "/?"). Returns the index of the first operand, or -1 when the run
// ends here with *status: after the help, the version or the short usage
// (0), or after a line on standard error saying what is wrong (1). Without
// options, every command line means what it always meant.
int read_options(int argc, char** argv, int* status);

#endif
