// libFuzzer targets for untree-list, on arbitrary bytes as an archive.
//
// fuzz_list: every mode (the listing, --json, --check) runs on the input;
// each must end with one of the three exit statuses, whatever the bytes.
//
// fuzz_agree (UNTREE_FUZZ_AGREE=1): untree-list --check and untree judge
// the input alike. untree says on standard error what it stops at, what is
// no tree archive, the lengths that do not add up, and the names it skips
// as duplicates or unsafe: exactly then must --check find an error. (A
// check may find more: name lines beyond the last record, or a record
// region's short tail, which untree passes over.) untree extracts into a
// scratch directory, and what it makes there is checked too: nothing when
// the check calls the input no tree archive.
//
// Runs on Linux only; it is built by clang with -fsanitize=fuzzer.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "extract/extract.h"
#include "list/list.h"
#include "report/console.h"
#include "report/exit_status.h"

#ifndef UNTREE_FUZZ_AGREE
#define UNTREE_FUZZ_AGREE 0
#endif

namespace {

enum { PATH_BYTES = 4096 };

char g_top[PATH_BYTES];
char g_archive[PATH_BYTES];
char g_dest[PATH_BYTES];
char g_said[PATH_BYTES];
FILE* g_report;

void die(const char* what, const char* path) {
    fprintf(g_report ? g_report : stderr, "fuzz_list: %s: %s\n", what, path);
    abort();
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void remove_tree(const char* root) {
    nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

void remove_scratch() {
    remove_tree(g_top);
}

bool dest_empty() {
    DIR* d = opendir(g_dest);
    if (!d) die("cannot list", g_dest);
    bool empty = true;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) empty = false;
    closedir(d);
    return empty;
}

int list_mode(ListMode mode) {
    memset(&g_list, 0, sizeof g_list);
    g_list.archive_path = g_archive;
    g_list.mode = mode;
    int status = run_list();
    if (status != EXIT_COMPLETE && status != EXIT_EARLY && status != EXIT_INCOMPLETE) {
        fprintf(g_report, "fuzz_list: exit status %d in mode %d\n", status, (int)mode);
        abort();
    }
    return status;
}

// Does untree's standard error, kept in g_said, hold a line about the archive?
bool untree_said_index_problem() {
    FILE* f = fopen(g_said, "r");
    if (!f) die("cannot read", g_said);
    static const char* const starts[] = {"archive corrupt", "not a tree archive", "duplicate name skipped",
                                         "unsafe name skipped"};
    char line[8192];
    bool said = false;
    while (fgets(line, sizeof line, f))
        for (const char* s : starts) said |= strncmp(line, s, strlen(s)) == 0;
    fclose(f);
    return said;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int report_fd = dup(2);
    g_report = report_fd >= 0 ? fdopen(report_fd, "w") : 0;
    if (!g_report) g_report = stderr;
    setvbuf(g_report, 0, _IONBF, 0);
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 1) < 0) die("cannot silence stdout", "/dev/null");
    close(null_fd);
    console_init();
    const char* base = getenv("UNTREE_FUZZ_SCRATCH");
    if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    if (snprintf(g_top, sizeof g_top, "%s/untree-fuzz-list.XXXXXX", base) >= (int)sizeof g_top) die("too long", base);
    if (!mkdtemp(g_top)) die("cannot create scratch directory", g_top);
    snprintf(g_archive, sizeof g_archive, "%s/archive.tree", g_top);
    snprintf(g_dest, sizeof g_dest, "%s/dest", g_top);
    snprintf(g_said, sizeof g_said, "%s/untree-stderr", g_top);
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = open(g_archive, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != (ssize_t)size) die("cannot write", g_archive);
    close(fd);
    if (!UNTREE_FUZZ_AGREE) {
        list_mode(MODE_LONG);
        list_mode(MODE_JSON);
        list_mode(MODE_CHECK);
        return 0;
    }
    int status = list_mode(MODE_CHECK);
    bool check_errors = g_list.totals.errors > 0 || status != EXIT_COMPLETE;
    bool not_archive = false;
    {
        // Whether the check calls it no tree archive: the extractor's own rule.
        ArchiveReader* a = &g_list.archive;
        char why[256];
        if (open_cursors(a, g_archive)) {
            not_archive = not_a_tree_archive(a, why) != 0;
            close_cursors(a);
        }
    }

    if (mkdir(g_dest, 0700) != 0) die("cannot create", g_dest);
    fflush(stderr);
    int saved = dup(2);
    int said = open(g_said, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (saved < 0 || said < 0 || dup2(said, 2) < 0) die("cannot redirect stderr", g_said);
    close(said);
    char arg0[] = "untree";
    char* argv[] = {arg0, g_archive, g_dest, 0};
    reset_extract_state();
    int extracted = run_extract(3, argv);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);

    bool untree_said = untree_said_index_problem();
    if (untree_said && !check_errors) {
        fprintf(g_report, "fuzz_agree: untree finds a problem in the index, --check calls it sound\n");
        abort();
    }
    if (not_archive && (extracted != EXIT_EARLY || !dest_empty())) {
        fprintf(g_report, "fuzz_agree: no tree archive, yet untree exited %d or made something\n", extracted);
        abort();
    }
    if (!check_errors && extracted == EXIT_EARLY) {
        fprintf(g_report, "fuzz_agree: --check calls it sound, untree refuses it\n");
        abort();
    }
    remove_tree(g_dest);
    return 0;
}
