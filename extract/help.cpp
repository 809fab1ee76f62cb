#include "extract/help.h"

#include <string.h>

#include "extract/extract.h"
#include "report/console.h"
#include "report/exit_status.h"
#include "report/failure.h"

#ifndef UNTREE_VERSION
#error "UNTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

static const char USAGE[] =
    "Usage: untree [OPTION...] ARCHIVE [DESTINATION [FILTER...]]\n"
    "       untree -O ARCHIVE [FILTER...]\n"
    "Re-create the directory tree stored in ARCHIVE under DESTINATION.\n"
    "untree --help tells more.\n";

static const char HELP_TEXT[] =
    "Usage: untree [OPTION...] ARCHIVE [DESTINATION [FILTER...]]\n"
    "       untree -O ARCHIVE [FILTER...]\n"
    "Re-create the directory tree stored in ARCHIVE under DESTINATION.\n"
    "\n"
    "  ARCHIVE      a tree archive, as written by untree-pack; a file, since\n"
    "               an archive is read from its end (not \"-\" nor a pipe)\n"
    "  DESTINATION  an existing directory (default: the current directory);\n"
    "               it is not created\n"
    "  FILTER       extract only the entries whose path agrees with FILTER\n"
    "               byte for byte over the shorter of the two (e.g. docs\\api:\n"
    "               docs, docs\\api and everything below it); names separated\n"
    "               by backslashes or slashes; at most 1023 bytes. With several\n"
    "               FILTERs an entry is extracted when any of them selects it;\n"
    "               one that nothing in the archive answers is named on\n"
    "               standard error (exit status 2)\n"
    "\n"
    "Options, before ARCHIVE (-- ends them):\n"
    "  -q, --quiet            no listing and no status line on standard output\n"
    "  -O, --to-stdout        write the contents of the selected files to\n"
    "                         standard output, one after another in archive\n"
    "                         order, and nothing else; nothing is created. A\n"
    "                         FILTER then selects the file it names, or the\n"
    "                         files in the directory it names\n"
    "  -k, --keep-old-files   never replace an existing file: each one is\n"
    "                         reported (exit status 2)\n"
    "      --skip-old-files   never replace an existing file, without a word\n"
    "      --keep-newer-files keep an existing file last written after the\n"
    "                         archive's entry, with a line saying so\n"
    "      --overwrite-read-only  replace read-only files too (by default\n"
    "                         they are kept, and reported)\n"
    "  -h, --help             show this help and exit (also /? on Windows)\n"
    "      --version          show the version and exit\n"
    "An archive whose name starts with - is reached as ./-name or after --.\n"
    "\n"
    "Standard output: one line per entry, \"PATH N\" (N is -1, 0 or 1: how PATH\n"
    "compares with the first FILTER that selects it, or with the first), a\n"
    "status line \"dirs=.. files=.. outbytes=.. speed=..\" and a final newline.\n"
    "Standard error: one line per entry that could not be restored whole, and\n"
    "why; one line for a run that cannot start, and why.\n"
    "\n"
    "Exit status:\n"
    "  0  every selected entry was extracted in full (also: no arguments, which\n"
    "     shows a short usage on standard error)\n"
    "  1  nothing was done: wrong options, the archive cannot be opened or is no\n"
    "     regular file, the destination cannot be opened or is no directory, or\n"
    "     a FILTER is longer than 1023 bytes\n"
    "  2  the walk finished, but something was not restored, a FILTER found\n"
    "     nothing, or standard output could not be written: see standard error\n"
    "\n"
    "The manual page untree(1) (doc/untree.txt in the Windows zip) explains\n"
    "every output line, every rule, and why a file may not have been extracted.\n";

static int shown(const char* text, int* status) {
    console_out("%s", text);
    *status = finish_output(EXIT_COMPLETE);
    return -1;
}

static int wrong(const char* what, const char* argument, int* status) {
    say_early("%s <%s>; untree --help lists the options", what,
              console_name(CONSOLE_ERR, argument, (uint32_t)strlen(argument)));
    *status = EXIT_EARLY;
    return -1;
}

// A long option's flag, or false when there is none of that name.
static bool long_option(const char* name, ExtractOptions* o) {
    if (strcmp(name, "quiet") == 0) o->quiet = true;
    else if (strcmp(name, "to-stdout") == 0) o->to_stdout = true;
    else if (strcmp(name, "keep-old-files") == 0) o->existing |= EXISTING_KEPT;
    else if (strcmp(name, "skip-old-files") == 0) o->existing |= EXISTING_KEPT, o->skip_old = true;
    else if (strcmp(name, "keep-newer-files") == 0) o->existing |= EXISTING_KEPT_IF_NEWER;
    else if (strcmp(name, "overwrite-read-only") == 0) o->existing |= EXISTING_READ_ONLY_REPLACED;
    else return false;
    return true;
}

int read_options(int argc, char** argv, int* status) {
    ExtractOptions* o = &g_state.options;
    if (argc < 2) {
        console_err("%s", USAGE);
        *status = EXIT_COMPLETE;
        return -1;
    }
    // Windows users ask a program for its help this way; elsewhere /? is a
    // path like any other.
    bool windows_help = platform_path_separator() == '\\';
    int i = 1;
    for (; i < argc; i++) {
        const char* a = argv[i];
        if (windows_help && strcmp(a, "/?") == 0) return shown(HELP_TEXT, status);
        if (a[0] != '-' || a[1] == 0) break;  // ARCHIVE; "-" too, which is told
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        }
        if (a[1] == '-') {
            if (strcmp(a, "--help") == 0) return shown(HELP_TEXT, status);
            if (strcmp(a, "--version") == 0) return shown("untree " UNTREE_VERSION "\n", status);
            if (!long_option(a + 2, o)) return wrong("unknown option", a, status);
            continue;
        }
        for (const char* c = a + 1; *c; c++) {
            if (*c == 'h') return shown(HELP_TEXT, status);
            if (*c == 'q') o->quiet = true;
            else if (*c == 'O') o->to_stdout = true;
            else if (*c == 'k') o->existing |= EXISTING_KEPT;
            else {
                // The letter alone, whole when it is not one (UTF-8).
                char letter[8] = {'-', *c, 0};
                int k = 2;
                while (((uint8_t)*c & 0x80) && ((uint8_t)c[1] & 0xC0) == 0x80 && k < 6) letter[k++] = *++c;
                letter[k] = 0;
                return wrong("unknown option", letter, status);
            }
        }
    }
    if (i >= argc) {
        say_early("ARCHIVE is missing; untree --help tells more");
        *status = EXIT_EARLY;
        return -1;
    }
    return i;
}
