// The walk over the source: each directory is listed whole, its children
// sorted, then visited one by one, a directory's subtree right after its own
// entry (depth-first pre-order). Siblings are sorted by their UTF-16 units,
// which is also the byte order of their CESU-8 name lines: the order is a
// property of the names alone, the same on every system, so the same tree
// with the same times gives the same archive.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "pack/pack.h"
#include "report/exit_status.h"

// One listed child still to be visited. Its name lives in the name arena,
// NUL-terminated.
struct Child {
    uint32_t name_at;
    uint32_t name_units;
    uint32_t kind;
    uint16_t attributes;
    uint64_t size;
    uint64_t creation_time, write_time, access_time;
};

// One directory on the way from the root down to the entry being visited.
struct Level {
    PlatformHandle directory;
    uint32_t first, end, next;  // its children in the child arena
    size_t names_mark;          // the name arena's size before its children
    uint32_t wide_length;       // lengths of its own path in both forms
    size_t display_length;
};

struct PackState {
    Level levels[DEPTH_LIMIT + 1];
    uint32_t level_count;
    GrowBuffer children;  // Child[], a stack: one slice per open level
    GrowBuffer names;     // WideChar[], the same
    // The entry's full path for the platform, and as it is shown in messages
    // (SOURCE_DIR as typed, then the names in UTF-8).
    WideChar wide[SOURCE_PATH_UNITS];
    uint32_t wide_length;
    char* display;
    size_t display_length;
    PlatformSourceEntry listed;
    IndexWriter index;
    ArchiveOutput out;
    uint32_t reported;  // skips and changes told on standard error
    bool refused;       // the tree cannot be archived: no archive
};

static PackState g_pack;

static Child* child_at(uint32_t i) { return (Child*)g_pack.children.bytes + i; }
static WideChar* name_at(uint32_t at) { return (WideChar*)g_pack.names.bytes + at; }

// One line on standard error about the source; any such line means exit 2.
static void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    g_pack.reported++;
}

// The tree cannot be archived as a whole: the walk stops, nothing is written.
static void refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputs("; no archive written\n", stderr);
    g_pack.refused = true;
}

static const char* decimal(uint64_t value, char buffer[24]) {
    char* p = buffer + 23;
    *p = 0;
    do *--p = (char)('0' + value % 10);
    while (value /= 10);
    return p;
}

// --- Paths ----------------------------------------------------------------------

// Appends a name to the displayed path; bytes that would garble a terminal
// line, and with `escape_high` every byte of a name that is not UTF-8, are
// shown as \xNN.
static void display_append(const char* bytes, size_t length, bool escape_high) {
    static const char HEX[] = "0123456789ABCDEF";
    char separator = platform_path_separator();
    char* d = g_pack.display;
    size_t at = g_pack.display_length;
    if (at > 0 && d[at - 1] != separator && d[at - 1] != '/') d[at++] = separator;
    for (size_t i = 0; i < length; i++) {
        uint8_t b = (uint8_t)bytes[i];
        if (b < 0x20 || b == 0x7F || (escape_high && b >= 0x80)) {
            d[at++] = '\\';
            d[at++] = 'x';
            d[at++] = HEX[b >> 4];
            d[at++] = HEX[b & 15];
        } else {
            d[at++] = (char)b;
        }
    }
    d[at] = 0;
    g_pack.display_length = at;
}

static void display_append_wide(const WideChar* name) {
    char utf8[PLATFORM_NAME_UNITS * 3 + 1];
    uint32_t n = platform_wide_to_utf8(name, utf8, sizeof utf8);
    display_append(utf8, n ? n - 1 : 0, false);
}

static void paths_to(const Level* level) {
    g_pack.wide_length = level->wide_length;
    g_pack.wide[g_pack.wide_length] = 0;
    g_pack.display_length = level->display_length;
    g_pack.display[g_pack.display_length] = 0;
}

// The paths of a child of `level`.
static void paths_to_child(const Level* level, const WideChar* name, uint32_t units) {
    paths_to(level);
    WideChar* w = g_pack.wide + g_pack.wide_length;
    *w++ = '\\';
    memcpy(w, name, units * sizeof(WideChar));
    w[units] = 0;
    g_pack.wide_length += units + 1;
    display_append_wide(name);
}

// --- Listing --------------------------------------------------------------------

static bool name_less(const Child& a, const Child& b) {
    const WideChar* x = name_at(a.name_at);
    const WideChar* y = name_at(b.name_at);
    uint32_t n = a.name_units < b.name_units ? a.name_units : b.name_units;
    for (uint32_t i = 0; i < n; i++)
        if (x[i] != y[i]) return x[i] < y[i];
    return a.name_units < b.name_units;
}

// What the archive cannot carry is told here, one line each, and not kept.
static bool keep_listed(const Level* level, const PlatformSourceEntry* e) {
    if (!e->name_is_unicode) {
        paths_to(level);
        display_append(e->raw_name, strlen(e->raw_name), true);
        report("name not valid UTF-8, skipped: <%s>", g_pack.display);
        return false;
    }
    paths_to_child(level, e->name, e->name_units);
    const char* fault = name_fault(e->name, e->name_units);
    if (fault) {
        report("%s, skipped: <%s>", fault, g_pack.display);
        return false;
    }
    if (e->error) {
        report("cannot read the attributes of <%s>: %s; skipped", g_pack.display, error_text(e->error));
        return false;
    }
    switch (e->kind) {
    case PLATFORM_ENTRY_FILE:
    case PLATFORM_ENTRY_DIRECTORY: return true;
    case PLATFORM_ENTRY_LINK: report("symbolic link skipped: <%s>", g_pack.display); return false;
    case PLATFORM_ENTRY_DEVICE: report("device skipped: <%s>", g_pack.display); return false;
    case PLATFORM_ENTRY_SOCKET: report("socket skipped: <%s>", g_pack.display); return false;
    case PLATFORM_ENTRY_FIFO: report("FIFO skipped: <%s>", g_pack.display); return false;
    default: report("special file skipped: <%s>", g_pack.display); return false;
    }
}

static bool keep_child(const PlatformSourceEntry* e) {
    uint32_t units = e->name_units + 1;
    if (!grow_reserve(&g_pack.children, sizeof(Child)) || !grow_reserve(&g_pack.names, units * sizeof(WideChar)))
        return false;
    Child* c = (Child*)(g_pack.children.bytes + g_pack.children.size);
    c->name_at = (uint32_t)(g_pack.names.size / sizeof(WideChar));
    c->name_units = e->name_units;
    c->kind = e->kind;
    c->attributes = e->attributes;
    c->size = e->size;
    c->creation_time = e->creation_time;
    c->write_time = e->write_time;
    c->access_time = e->access_time;
    memcpy(g_pack.names.bytes + g_pack.names.size, e->name, units * sizeof(WideChar));
    g_pack.children.size += sizeof(Child);
    g_pack.names.size += units * sizeof(WideChar);
    return true;
}

// Opens a level for `directory` (whose paths are the current ones) and lists
// its children, sorted.
static void push_level(PlatformHandle directory) {
    Level* level = &g_pack.levels[g_pack.level_count++];
    level->directory = directory;
    level->wide_length = g_pack.wide_length;
    level->display_length = g_pack.display_length;
    level->names_mark = g_pack.names.size;
    level->first = level->end = level->next = (uint32_t)(g_pack.children.size / sizeof(Child));

    if (!platform_list_begin(directory, g_pack.wide)) {
        report("cannot list directory <%s>: %s; its contents are skipped", g_pack.display,
               error_text(platform_last_error()));
        return;
    }
    for (;;) {
        int r = platform_list_next(&g_pack.listed);
        if (r == 0) break;
        if (r < 0) {
            paths_to(level);
            report("cannot list directory <%s>: %s; the rest of it is skipped", g_pack.display,
                   error_text(platform_last_error()));
            break;
        }
        if (!keep_listed(level, &g_pack.listed)) continue;
        if (!keep_child(&g_pack.listed)) {
            paths_to(level);
            refuse("out of memory listing <%s>", g_pack.display);
            break;
        }
    }
    platform_list_end();
    level->end = (uint32_t)(g_pack.children.size / sizeof(Child));
    std::sort(child_at(level->first), child_at(level->end), name_less);
}

static void pop_level() {
    Level* level = &g_pack.levels[--g_pack.level_count];
    platform_close(level->directory);
    g_pack.children.size = (size_t)level->first * sizeof(Child);
    g_pack.names.size = level->names_mark;
}

// --- Entries --------------------------------------------------------------------

static bool add_entry(const Child& c, uint32_t depth, uint64_t length) {
    EntryRecord r;
    memset(&r, 0, sizeof r);
    set_content_length(&r, length);
    r.depth = (uint8_t)depth;
    r.attributes = c.attributes;
    r.creation_time = c.creation_time;
    r.write_time = c.write_time;
    r.access_time = c.access_time;
    char n[24];
    switch (index_add(&g_pack.index, name_at(c.name_at), c.name_units, r)) {
    case INDEX_ADDED: return true;
    case INDEX_TOO_LARGE:
        refuse("the tree is too large for one archive: its names and records reach %s bytes at <%s>, and "
               "must stay under 2147483648",
               decimal(index_bytes(&g_pack.index), n), g_pack.display);
        return false;
    case INDEX_NO_MEMORY: refuse("out of memory adding <%s>", g_pack.display); return false;
    default:
        // The listing let through what the index refuses: a fault of ours.
        refuse("internal error adding <%s>", g_pack.display);
        return false;
    }
}

static void pack_directory(const Level* parent, const Child& c, uint32_t depth) {
    PlatformHandle h = platform_open_source_directory(parent->directory, name_at(c.name_at), g_pack.wide);
    if (h == PLATFORM_NO_HANDLE) {
        report("cannot open directory <%s>: %s; skipped with everything in it", g_pack.display,
               error_text(platform_last_error()));
        return;
    }
    if (!add_entry(c, depth, 0)) {
        platform_close(h);
        return;
    }
    push_level(h);
}

static void pack_file(const Level* parent, const Child& c, uint32_t depth) {
    char n1[24], n2[24], n3[24];
    if (c.size >= CONTENT_LENGTH_LIMIT) {
        refuse("<%s> holds %s bytes, more than the 1099511627775 an archive entry can", g_pack.display,
               decimal(c.size, n1));
        return;
    }
    PlatformHandle h = platform_open_source_file(parent->directory, name_at(c.name_at), g_pack.wide);
    if (h == PLATFORM_NO_HANDLE) {
        report("cannot open file <%s>: %s; skipped", g_pack.display, error_text(platform_last_error()));
        return;
    }
    // The archive being written may lie inside the tree; it is not part of it.
    if (output_is_own_file(&g_pack.out, h)) {
        platform_close(h);
        return;
    }
    if (!add_entry(c, depth, c.size)) {
        platform_close(h);
        return;
    }
    CopyOutcome copied = output_copy(&g_pack.out, h, c.size);
    if (!g_pack.out.failed) {
        if (copied.read < c.size && copied.read_error != 0) {
            report("cannot read <%s> after %s of %s bytes: %s; the rest is stored as zeros", g_pack.display,
                   decimal(copied.read, n1), decimal(c.size, n2), error_text(copied.read_error));
        } else if (copied.read < c.size) {
            report("<%s> shrank while read: %s bytes recorded, %s found; stored with zeros after them",
                   g_pack.display, decimal(c.size, n1), decimal(copied.read, n2));
        } else {
            uint64_t now = platform_file_size(h);
            if (now != c.size)
                report("<%s> changed size while read: %s bytes recorded, %s now; the first %s stored",
                       g_pack.display, decimal(c.size, n1), decimal(now, n2), decimal(c.size, n3));
        }
    }
    platform_close(h);
}

static void walk() {
    while (g_pack.level_count > 0 && !g_pack.refused && !g_pack.out.failed) {
        Level* top = &g_pack.levels[g_pack.level_count - 1];
        if (top->next == top->end) {
            pop_level();
            continue;
        }
        // A copy: the arena may move when the child's own listing grows it.
        Child c = *child_at(top->next++);
        uint32_t depth = g_pack.level_count - 1;
        paths_to_child(top, name_at(c.name_at), c.name_units);
        if (depth >= DEPTH_LIMIT) {
            refuse("<%s> lies deeper than the 255 levels an archive holds", g_pack.display);
            break;
        }
        if (c.kind == PLATFORM_ENTRY_DIRECTORY) pack_directory(top, c, depth);
        else pack_file(top, c, depth);
    }
    while (g_pack.level_count > 0) pop_level();
}

// What a run allocated, for a caller that goes on (the tests run many).
static int finish_run(int status) {
    index_free(&g_pack.index);
    grow_free(&g_pack.children);
    grow_free(&g_pack.names);
    free(g_pack.display);
    free(g_pack.out.buffer);
    free(g_pack.out.temporary_display);
    return status;
}

int run_pack(const char* source_argument, const char* archive_argument) {
    memset(&g_pack, 0, sizeof g_pack);
    index_init(&g_pack.index);
    size_t display_bytes = strlen(source_argument) + 1 + (size_t)(DEPTH_LIMIT + 1) * (PLATFORM_NAME_BYTES * 4 + 1);
    g_pack.display = (char*)malloc(display_bytes);
    if (!g_pack.display) {
        fprintf(stderr, "cannot pack <%s>: out of memory\n", source_argument);
        return finish_run(EXIT_EARLY);
    }
    strcpy(g_pack.display, source_argument);
    g_pack.display_length = strlen(source_argument);

    // Only Windows reaches the source by this path; POSIX goes by the
    // argument and descriptors, whatever bytes the argument holds.
    uint32_t n = long_path_of(source_argument, g_pack.wide, PLATFORM_WIDE_PATH_UNITS);
    PlatformHandle root = platform_open_source_root(source_argument, g_pack.wide);
    if (root == PLATFORM_NO_HANDLE) {
        fprintf(stderr, "cannot open source directory <%s>: %s\n", source_argument,
                error_text(platform_last_error()));
        return finish_run(EXIT_EARLY);
    }
    // A root that ends in a separator (a drive root, "/") would double it
    // before the first name.
    if (n > 0 && (g_pack.wide[n - 1] == '\\' || g_pack.wide[n - 1] == '/')) n--;
    g_pack.wide_length = n;
    g_pack.wide[n] = 0;

    if (!output_open(&g_pack.out, archive_argument)) {
        platform_close(root);
        output_abandon(&g_pack.out);
        return finish_run(EXIT_EARLY);
    }
    push_level(root);
    walk();
    if (g_pack.refused) {
        output_abandon(&g_pack.out);
        return finish_run(EXIT_EARLY);
    }
    if (!output_finish(&g_pack.out, &g_pack.index)) return finish_run(EXIT_EARLY);
    return finish_run(g_pack.reported ? EXIT_INCOMPLETE : EXIT_COMPLETE);
}
