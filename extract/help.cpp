#include "extract/help.h"

#include <string.h>

#include "report/console.h"

#ifndef UNTREE_VERSION
#error "UNTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

static const char HELP_TEXT[] =
    "Usage: untree ARCHIVE [DESTINATION [FILTER]]\n"
    "Re-create the directory tree stored in ARCHIVE under DESTINATION.\n"
    "\n"
    "  ARCHIVE      a tree archive, as written by untree-pack\n"
    "  DESTINATION  an existing directory (default: the current directory);\n"
    "               it is not created\n"
    "  FILTER       extract only the entries whose path, with backslashes\n"
    "               between names, agrees with FILTER byte for byte over the\n"
    "               shorter of the two (e.g. docs\\api: docs, docs\\api and\n"
    "               everything below it); at most 1023 bytes\n"
    "\n"
    "Standard output: one line per entry, \"PATH N\" (N is -1, 0 or 1: how PATH\n"
    "compares with FILTER), a status line \"dirs=.. files=.. outbytes=.. speed=..\"\n"
    "and a final newline. Standard error: one line per entry that could not be\n"
    "restored whole, and why.\n"
    "\n"
    "Exit status:\n"
    "  0  every selected entry was extracted in full (also: no arguments)\n"
    "  1  nothing was done: the archive cannot be opened or is no regular file,\n"
    "     the destination cannot be resolved, or FILTER is longer than 1023 bytes\n"
    "  2  the walk finished, but something was not restored, or standard output\n"
    "     could not be written: see standard error\n"
    "\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "Either is recognised only as the sole argument; an archive named --help\n"
    "is reached as ./--help.\n"
    "\n"
    "The manual page untree(1) (doc/untree.txt in the Windows zip) explains\n"
    "every output line, every rule, and why a file may not have been extracted.\n";

bool answer_info_request(int argc, char** argv) {
    if (argc != 2) return false;
    const char* a = argv[1];
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
        console_out("%s", HELP_TEXT);
    } else if (strcmp(a, "--version") == 0) {
        console_out("untree %s\n", UNTREE_VERSION);
    } else {
        return false;
    }
    console_finish();
    return true;
}
