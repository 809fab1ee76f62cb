#include <string.h>

#include "pack/pack.h"
#include "platform/platform.h"
#include "report/console.h"
#include "report/exit_status.h"

#ifndef UNTREE_VERSION
#error "UNTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

static const char USAGE[] = "untree-pack: usage: untree-pack [--plain] SOURCE_DIR ARCHIVE (or --help)\n";

static const char HELP_TEXT[] =
    "Usage: untree-pack [--plain] SOURCE_DIR ARCHIVE\n"
    "Write the directory tree under SOURCE_DIR into the archive ARCHIVE;\n"
    "`untree ARCHIVE DEST` re-creates it under DEST.\n"
    "\n"
    "  SOURCE_DIR  the directory whose contents are packed (not the directory\n"
    "              itself): every directory and regular file, depth first,\n"
    "              siblings sorted by name, with their times, attributes and\n"
    "              permission bits, and symbolic links as links (never\n"
    "              followed)\n"
    "  ARCHIVE     the file to write: written beside its final name and renamed\n"
    "              once whole, keeping a replaced file's permissions (through a\n"
    "              symbolic link, what it leads to); a file you may not write to\n"
    "              is not replaced. \"-\" is standard output (not a terminal); a\n"
    "              device, FIFO, pipe or socket (/dev/stdout) is written\n"
    "              straight, never replaced. On Linux a path means what the\n"
    "              kernel means: \"..\" after a link leads up from its target\n"
    "\n"
    "Every file's content and the whole index carry a CRC-32C, which untree\n"
    "and untree-list --check verify. Readers of the original format still\n"
    "read the archive, and make a symbolic link a small file holding its\n"
    "target.\n"
    "\n"
    "  --plain      an archive of the original format: no permission bits, no\n"
    "               checksums, symbolic links left out\n"
    "\n"
    "Left out, one line each on standard error: devices,\n"
    "sockets, FIFOs, entries that cannot be read, names an archive cannot\n"
    "carry (on Linux: not valid UTF-8, or holding \"\\\" or \":\"), and what\n"
    "untree could not restore: entries below 255 levels or with a path over\n"
    "28672 characters. The archive itself and the file it replaces are never\n"
    "packed. Told but stored: names with control characters, times outside\n"
    "1601-30828, files that change while read.\n"
    "\n"
    "The archive is on the disk before the run ends; no signal leaves an\n"
    "unfinished one behind.\n"
    "\n"
    "Exit status:\n"
    "  0  the archive holds the whole tree\n"
    "  1  no archive was written: wrong arguments, SOURCE_DIR cannot be read,\n"
    "     ARCHIVE cannot be written, or the tree exceeds what an archive holds\n"
    "     (files under 1 TiB, 2 GiB of names and records)\n"
    "  2  the archive was written, but something was left out, stored as it\n"
    "     could be, or changed while read: see standard error\n"
    "\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "Either is recognised only as the sole argument.\n";

int main(int argc, char** argv) {
    int count;
    char** arguments;
    platform_arguments(argc, argv, &count, &arguments);
    console_init();
    if (count == 2 && (strcmp(arguments[1], "-h") == 0 || strcmp(arguments[1], "--help") == 0)) {
        console_out("%s", HELP_TEXT);
        return console_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
    }
    if (count == 2 && strcmp(arguments[1], "--version") == 0) {
        console_out("untree-pack %s\n", UNTREE_VERSION);
        return console_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
    }
    bool plain = count == 4 && strcmp(arguments[1], "--plain") == 0;
    if (count != 3 && !plain) {
        console_err("%s", USAGE);
        return EXIT_EARLY;
    }
    platform_catch_interruptions();
    return run_pack(arguments[count - 2], arguments[count - 1], plain);
}
