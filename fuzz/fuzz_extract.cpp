// libFuzzer target: arbitrary bytes as an archive, through the whole walk,
// into a scratch destination. Whatever the bytes, nothing may appear outside
// that destination, nothing but files and directories may appear inside it,
// and the run may leave no handle open behind it.
//
// The scratch directory sits at the bottom of a chain of otherwise empty
// directories, so an entry that climbs out of the destination by up to
// SENTINEL_LEVELS steps lands in a directory that is checked after every run:
//
//   <base>/untree-fuzz.XXXXXX/up2/up1/   archive.tree   dest/
//
// Built a second time with UNTREE_FUZZ_POPULATED=1, the destination is not
// empty: every run meets what a user's or an attacker's destination may
// hold, under short names the fuzzer hits often, and the archive itself
// lies inside it:
//
//   up1/outside/   dir/  file  linked          must never change
//   up1/dest/      a -> outside/dir   b -> outside/file   c (a second name
//                  of outside/linked)   d (a FIFO)   e (read-only)
//                  g (the archive being read)
//
// No run may block on the FIFO (libFuzzer's -timeout catches one that does).
//
// Runs on Linux only; it is built by clang with -fsanitize=fuzzer.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extract/extract.h"
#include "report/console.h"
#include "report/exit_status.h"

#ifndef UNTREE_FUZZ_POPULATED
#define UNTREE_FUZZ_POPULATED 0
#endif

namespace {

const bool POPULATED = UNTREE_FUZZ_POPULATED != 0;

enum { SENTINEL_LEVELS = 3,
       PATH_BYTES = 4096 };

// g_levels[0] is the top; g_levels[k] is g_levels[k - 1] + "/" + LEVEL_NAMES[k - 1];
// the last one holds the archive and the destination.
const char* const LEVEL_NAMES[SENTINEL_LEVELS - 1] = {"up2", "up1"};
char g_levels[SENTINEL_LEVELS][PATH_BYTES];
char g_archive[PATH_BYTES];
char g_dest[PATH_BYTES];
char g_outside[PATH_BYTES];
uint64_t g_outside_digest;
FILE* g_report;  // the harness's own findings: stderr as it was at start

void die(const char* what, const char* path) {
    fprintf(g_report ? g_report : stderr, "fuzz_extract: %s: %s (%s)\n", what, path, strerror(errno));
    abort();
}

void join(char* out, const char* dir, const char* name) {
    if (snprintf(out, PATH_BYTES, "%s/%s", dir, name) >= PATH_BYTES) die("path too long", dir);
}

int count_open_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// Names every open descriptor and what it leads to, for the report.
void show_open_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char link[PATH_BYTES], target[PATH_BYTES];
        join(link, "/proc/self/fd", e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        target[n < 0 ? 0 : n] = 0;
        fprintf(g_report, "fuzz_extract:   fd %s -> %s\n", e->d_name, target);
    }
    closedir(d);
}

// True when `dir` holds exactly the names given (a null-terminated list),
// nothing else; `finding` names what anything else would be.
bool holds_only(const char* dir, const char* const* names, const char* finding) {
    DIR* d = opendir(dir);
    if (!d) die("cannot list", dir);
    bool only = true;
    while (struct dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (!strcmp(n, ".") || !strcmp(n, "..")) continue;
        bool known = false;
        for (const char* const* k = names; *k && !known; k++) known = !strcmp(n, *k);
        if (known) continue;
        fprintf(g_report, "fuzz_extract: %s: %s/%s\n", finding, dir, n);
        only = false;
    }
    closedir(d);
    return only;
}

// What a populated destination holds before every run: not files or
// directories the extractor made, so not findings.
const char* const PREPOPULATED[] = {"a", "b", "c", "d", "e", "g", 0};

bool prepopulated(const char* path, int level) {
    if (!POPULATED || level != 1) return false;
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    for (const char* const* k = PREPOPULATED; *k; k++)
        if (!strcmp(base, *k)) return true;
    return false;
}

bool g_foreign_kind;  // the walk below met something that is neither file, directory nor link

int remove_entry(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    // Links come from extended archives; that none is ever followed, the
    // outside digest tells.
    bool foreign = type == FTW_F && !S_ISREG(st->st_mode);
    if (foreign && !prepopulated(path, ftw->level)) {
        fprintf(g_report, "fuzz_extract: neither file, directory nor link: %s\n", path);
        g_foreign_kind = true;
    }
    // Directories come after their contents (FTW_DEPTH); a read-only file
    // goes like any other, since only its directory's write bit matters.
    // What refuses to go is left for remove_tree to deal with.
    remove(path);
    return 0;
}

// Opens up what the extractor may have closed off, so the removal can enter
// and empty every directory: pre-order, parents before their children.
int open_up_entry(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

void remove_tree(const char* root) {
    g_foreign_kind = false;
    nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    // Something refused to go: open the directories up and try again, one
    // more level of unreadable directories opening with every pass.
    for (int pass = 0; pass < 256 && access(root, F_OK) == 0; pass++) {
        nftw(root, open_up_entry, 16, FTW_PHYS | FTW_MOUNT);
        nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    }
    if (access(root, F_OK) == 0) die("cannot remove", root);
    if (g_foreign_kind) abort();
}

// True when the archive file still holds exactly the input: an entry that
// climbed out of the destination could have landed on it.
bool archive_unchanged(const uint8_t* data, size_t size) {
    int fd = open(g_archive, O_RDONLY);
    if (fd < 0) return false;
    uint8_t chunk[4096];
    size_t at = 0;
    bool same = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        if (at + (size_t)n > size || memcmp(chunk, data + at, (size_t)n) != 0) same = false;
        at += (size_t)n;
    }
    close(fd);
    return same && at == size;
}

// A digest of everything below `root` that a write through a link or a
// second name would change: names, kinds, modes, sizes and contents.
uint64_t g_digest;

void digest_bytes(const void* data, size_t n) {
    const uint8_t* p = (const uint8_t*)data;
    for (size_t i = 0; i < n; i++) g_digest = (g_digest ^ p[i]) * 1099511628211ull;
}

int digest_entry(const char* path, const struct stat* st, int, struct FTW*) {
    digest_bytes(path, strlen(path) + 1);
    uint64_t facts[2] = {(uint64_t)st->st_mode, (uint64_t)st->st_size};
    digest_bytes(facts, sizeof facts);
    if (S_ISREG(st->st_mode)) {
        int fd = open(path, O_RDONLY);
        if (fd < 0) die("cannot read", path);
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) digest_bytes(chunk, (size_t)n);
        close(fd);
    }
    return 0;
}

uint64_t digest_tree(const char* root) {
    g_digest = 14695981039346656037ull;
    if (nftw(root, digest_entry, 16, FTW_PHYS) != 0) die("cannot walk", root);
    return g_digest;
}

void write_text(const char* path, const char* text, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text)) die("cannot create", path);
    close(fd);
}

// Fills the destination with what it holds before every run.
void populate_destination() {
    char path[PATH_BYTES], target[PATH_BYTES];
    join(path, g_dest, "a");
    join(target, g_outside, "dir");
    if (symlink(target, path) != 0) die("cannot create", path);
    join(path, g_dest, "b");
    join(target, g_outside, "file");
    if (symlink(target, path) != 0) die("cannot create", path);
    join(path, g_dest, "c");
    join(target, g_outside, "linked");
    if (link(target, path) != 0) die("cannot create", path);
    join(path, g_dest, "d");
    if (mkfifo(path, 0600) != 0) die("cannot create", path);
    join(path, g_dest, "e");
    write_text(path, "read-only", 0444);
}

const char* scratch_base() {
    const char* chosen = getenv("UNTREE_FUZZ_SCRATCH");
    if (chosen && *chosen) return chosen;
    // Many small creates and removals: memory is the fastest and spares the disk.
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

void remove_scratch() {
    remove_tree(g_levels[0]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The extractor's own reports are noise here and -close_fd_mask=2 may
    // silence them; what the harness finds must still be seen. libFuzzer
    // calls this before it touches the streams.
    int report_fd = dup(2);
    g_report = report_fd >= 0 ? fdopen(report_fd, "w") : 0;
    if (!g_report) g_report = stderr;
    setvbuf(g_report, 0, _IONBF, 0);
    // The listing and status lines are of no interest here and cost time.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 1) < 0) die("cannot silence stdout", "/dev/null");
    close(null_fd);
    console_init();

    char top[PATH_BYTES];
    if (snprintf(top, sizeof top, "%s/untree-fuzz.XXXXXX", scratch_base()) >= (int)sizeof top) die("path too long", top);
    if (!mkdtemp(top)) die("cannot create scratch directory", top);
    strcpy(g_levels[0], top);
    for (int k = 1; k < SENTINEL_LEVELS; k++) {
        join(g_levels[k], g_levels[k - 1], LEVEL_NAMES[k - 1]);
        if (mkdir(g_levels[k], 0700) != 0) die("cannot create", g_levels[k]);
    }
    join(g_dest, g_levels[SENTINEL_LEVELS - 1], "dest");
    if (POPULATED) {
        join(g_archive, g_dest, "g");
        join(g_outside, g_levels[SENTINEL_LEVELS - 1], "outside");
        char path[PATH_BYTES];
        if (mkdir(g_outside, 0700) != 0) die("cannot create", g_outside);
        join(path, g_outside, "dir");
        if (mkdir(path, 0700) != 0) die("cannot create", path);
        join(path, g_outside, "file");
        write_text(path, "outside file", 0600);
        join(path, g_outside, "linked");
        write_text(path, "outside, and a second name inside", 0600);
        g_outside_digest = digest_tree(g_outside);
    } else {
        join(g_archive, g_levels[SENTINEL_LEVELS - 1], "archive.tree");
    }
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Counted afresh for every input: libFuzzer opens descriptors of its own
    // between inputs (the symbolizer it starts to name a newly covered
    // function holds two pipes), and only what this run leaves counts.
    int baseline_fds = count_open_fds();
    if (mkdir(g_dest, 0700) != 0) die("cannot create", g_dest);
    if (POPULATED) populate_destination();
    int fd = open(g_archive, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) die("cannot create", g_archive);
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) die("cannot write", g_archive);
        done += (size_t)n;
    }
    close(fd);

    char arg0[] = "untree";
    char* argv[] = {arg0, g_archive, g_dest, 0};
    reset_extract_state();
    int status = run_extract(3, argv);

    if (status != EXIT_COMPLETE && status != EXIT_EARLY && status != EXIT_INCOMPLETE) {
        fprintf(g_report, "fuzz_extract: exit status %d\n", status);
        abort();
    }
    // An early failure comes before the walk: nothing may have been made.
    const char* const nothing[] = {0};
    const char* const* before = POPULATED ? PREPOPULATED : nothing;
    if (status == EXIT_EARLY && !holds_only(g_dest, before, "created by a run that failed early")) abort();
    const char* outside = "entry outside the destination";
    bool contained = true;
    for (int k = 0; k < SENTINEL_LEVELS - 1; k++) {
        const char* const only[] = {LEVEL_NAMES[k], 0};
        contained &= holds_only(g_levels[k], only, outside);
    }
    const char* const last[] = {"dest", POPULATED ? "outside" : "archive.tree", 0};
    contained &= holds_only(g_levels[SENTINEL_LEVELS - 1], last, outside);
    if (POPULATED && digest_tree(g_outside) != g_outside_digest) {
        fprintf(g_report, "fuzz_extract: written through a link or a second name: %s\n", g_outside);
        contained = false;
    }
    if (!archive_unchanged(data, size)) {
        fprintf(g_report, "fuzz_extract: the archive itself was written to: %s\n", g_archive);
        contained = false;
    }
    if (!contained) abort();
    if (baseline_fds >= 0 && count_open_fds() != baseline_fds) {
        fprintf(g_report, "fuzz_extract: %d handles open after the run, %d before\n", count_open_fds(), baseline_fds);
        show_open_fds();
        abort();
    }
    remove_tree(g_dest);
    return 0;
}
