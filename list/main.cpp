// untree-list's command line.
#include <stdio.h>
#include <string.h>

#include "list/list.h"
#include "platform/platform.h"
#include "report/console.h"
#include "report/exit_status.h"

#ifndef UNTREE_VERSION
#error "UNTREE_VERSION comes from the project version in CMakeLists.txt"
#endif

static const char HELP_TEXT[] =
    "Usage: untree-list [--names | --json] [--summary] ARCHIVE [FILTER]\n"
    "       untree-list --check | --check-index ARCHIVE\n"
    "Show what a tree archive holds, or check it, without extracting anything.\n"
    "A listing reads the archive's index (and the targets of symbolic links),\n"
    "never the contents of its files.\n"
    "\n"
    "  (no option)  one line per entry: for an archive with permission bits\n"
    "               these first (-rwxr-x---; l for a link), then the kind (d or\n"
    "               -), the attributes read-only,\n"
    "               hidden, system, archive (r h s a, or -), the size, the\n"
    "               last-write time in UTC (- when the archive leaves it unset),\n"
    "               and the path as untree's FILTER takes it; PATH -> TARGET\n"
    "               for a link\n"
    "  --names      the path alone\n"
    "  --json       one JSON object per entry with every field of its record,\n"
    "               then one with the totals\n"
    "  --summary    only the totals\n"
    "  --check      read the whole index and report every problem, one line\n"
    "               each, then the totals; warnings are for names Windows (or\n"
    "               macOS) cannot take as they are. An archive with checksums\n"
    "               (what untree-pack writes) has every file's content read\n"
    "               and checked too\n"
    "  --check-index  the same, from the index alone: quick, contents unread\n"
    "  FILTER       show only the entries untree would extract with this FILTER\n"
    "\n"
    "Paths have backslashes between names. Characters are shown as UTF-8; a\n"
    "control character, a backslash inside a name and bytes that are not text\n"
    "are shown as \\xNN.\n"
    "\n"
    "Exit status:\n"
    "  0  listed; or checked, and no errors (warnings allowed)\n"
    "  1  the archive cannot be opened or read, wrong arguments, or the output\n"
    "     could not be written\n"
    "  2  the archive is damaged: the listing stopped, or the check found errors\n"
    "\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "  --           what follows is ARCHIVE and FILTER, even if it starts with -\n"
    "\n"
    "The manual page untree-list(1) (doc/untree-list.txt in the Windows zip)\n"
    "explains every line.\n";

static int usage_error(const char* what) {
    message("%s", what);
    message("usage: untree-list [--names | --json] [--summary] ARCHIVE [FILTER], or untree-list --check[-index] ARCHIVE");
    out_finish();
    return EXIT_EARLY;
}

int main(int argc, char** argv) {
    int count;
    char** arguments;
    platform_arguments(argc, argv, &count, &arguments);
    // A reader that goes away (| head) makes a write fail, which is told.
    platform_init_process();
    console_init();
    ListState* g = &g_list;
    const char* operands[3] = {0, 0, 0};
    int operand_count = 0;
    bool names = false, json = false, check = false, options_done = false;
    for (int i = 1; i < count; i++) {
        const char* a = arguments[i];
        if (options_done || a[0] != '-' || a[1] == 0) {
            if (operand_count < 3) operands[operand_count] = a;
            operand_count++;
        } else if (strcmp(a, "--") == 0) {
            options_done = true;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            out_text(HELP_TEXT);
            return out_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
        } else if (strcmp(a, "--version") == 0) {
            out_text("untree-list " UNTREE_VERSION "\n");
            return out_finish() == 0 ? EXIT_COMPLETE : EXIT_EARLY;
        } else if (strcmp(a, "--names") == 0) {
            names = true;
        } else if (strcmp(a, "--json") == 0) {
            json = true;
        } else if (strcmp(a, "--summary") == 0) {
            g->summary_only = true;
        } else if (strcmp(a, "--check") == 0) {
            check = true;
        } else if (strcmp(a, "--check-index") == 0) {
            check = true;
            g->index_only = true;
        } else {
            char what[300];
            (void)snprintf(what, sizeof what, "unknown option: %.256s", a);
            return usage_error(what);
        }
    }
    if (names + json + check > 1) return usage_error("--names, --json and --check exclude one another");
    if (g->summary_only && (names || check)) return usage_error("--summary goes with a listing or --json only");
    if (operand_count == 0) return usage_error("ARCHIVE is missing");
    if (operand_count > 2) return usage_error("too many arguments");
    if (check && operand_count > 1) return usage_error("--check reads the whole archive: it takes no FILTER");
    g->mode = check ? MODE_CHECK : json ? MODE_JSON
                               : names  ? MODE_NAMES
                                        : MODE_LONG;
    g->archive_path = operands[0];
    if (operands[1]) {
        uint32_t n = strlen(operands[1]) < FILTER_BYTES ? filter_to_cesu8(operands[1], g->filter, FILTER_BYTES)
                                                        : UINT32_MAX;
        if (n == UINT32_MAX) {
            message("FILTER is longer than 1023 bytes");
            out_finish();
            return EXIT_EARLY;
        }
        g->filter_length = n;
    }
    return run_list();
}
