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

#include "archive/extension.h"
#include "pack/pack.h"
#include "report/console.h"
#include "report/exit_status.h"

// Why a listed child is not packed; it is told when the walk reaches it, so
// that the lines come in the archive's order.
enum SkipReason {
    KEEP,
    SKIP_NOT_UTF8,    // the name has no true UTF-16 form
    SKIP_BAD_NAME,    // name_fault says why
    SKIP_ATTRIBUTES,  // `error` says why
    SKIP_KIND,        // not a directory or a regular file
};

// One listed child still to be visited. Its name lives in the name arena,
// NUL-terminated.
struct Child {
    uint32_t name_at;
    uint32_t name_units;
    uint32_t kind;
    uint32_t skip;  // SkipReason
    uint32_t error;
    const char* fault;
    uint16_t attributes;
    uint16_t mode;  // for the extension: MODE_KNOWN and the bits, or 0
    uint32_t time_faults;
    uint64_t size;
    uint64_t creation_time, write_time, access_time;
    PlatformFileState state;
    bool identity_known;
    uint64_t volume, index;
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
    uint32_t directories, files;  // entries in the archive
    uint32_t reported;            // skips and changes told on standard error
    bool refused;                 // the tree cannot be archived: no archive
    bool plain;                   // no extension: links are left out as before
    char target[LINK_TARGET_LIMIT];
};

static PackState g_pack;

static Child* child_at(uint32_t i) { return (Child*)g_pack.children.bytes + i; }
static WideChar* name_at(uint32_t at) { return (WideChar*)g_pack.names.bytes + at; }

// One line on standard error about the source; any such line means exit 2.
#ifdef __GNUC__
__attribute__((format(printf, 1, 2)))
#endif
static void
report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    tell_list(format, args, "");
    va_end(args);
    g_pack.reported++;
}

// The tree cannot be archived as a whole: the walk stops, nothing is written.
#ifdef __GNUC__
__attribute__((format(printf, 1, 2)))
#endif
static void
refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    tell_list(format, args, "; no archive written");
    va_end(args);
    g_pack.refused = true;
}

// --- Paths ----------------------------------------------------------------------

// Appends a name to the displayed path: bytes that would garble a terminal
// line (C0 and C1 controls, DEL) are shown as \xNN, and so is every byte of
// a name that is not UTF-8 (`raw`: its lone surrogates U+DC80-U+DCFF stand
// for those bytes).
static void display_append(const WideChar* name, uint32_t units, bool raw) {
    static const char HEX[] = "0123456789ABCDEF";
    char separator = platform_path_separator();
    char* d = g_pack.display;
    size_t at = g_pack.display_length;
    if (at > 0 && d[at - 1] != separator && d[at - 1] != '/') d[at++] = separator;
    for (uint32_t i = 0; i < units; i++) {
        uint32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        uint8_t b[4];
        uint32_t n;
        if (raw && c >= 0xDC80 && c <= 0xDCFF) b[0] = (uint8_t)c, n = 1;
        else if (c < 0x80) b[0] = (uint8_t)c, n = 1;
        else if (c < 0x800) b[0] = (uint8_t)(0xC0 | (c >> 6)), b[1] = (uint8_t)(0x80 | (c & 0x3F)), n = 2;
        else if (c < 0x10000)
            b[0] = (uint8_t)(0xE0 | (c >> 12)), b[1] = (uint8_t)(0x80 | ((c >> 6) & 0x3F)),
            b[2] = (uint8_t)(0x80 | (c & 0x3F)), n = 3;
        else
            b[0] = (uint8_t)(0xF0 | (c >> 18)), b[1] = (uint8_t)(0x80 | ((c >> 12) & 0x3F)),
            b[2] = (uint8_t)(0x80 | ((c >> 6) & 0x3F)), b[3] = (uint8_t)(0x80 | (c & 0x3F)), n = 4;
        bool escape = c < 0x20 || (c >= 0x7F && c <= 0x9F) || (raw && c >= 0x80);
        for (uint32_t k = 0; k < n; k++) {
            if (escape) {
                d[at++] = '\\';
                d[at++] = 'x';
                d[at++] = HEX[b[k] >> 4];
                d[at++] = HEX[b[k] & 15];
            } else {
                d[at++] = (char)b[k];
            }
        }
    }
    d[at] = 0;
    g_pack.display_length = at;
}

static bool has_controls(const WideChar* name, uint32_t units) {
    for (uint32_t i = 0; i < units; i++)
        if (name[i] < 0x20 || (name[i] >= 0x7F && name[i] <= 0x9F)) return true;
    return false;
}

static void paths_to(const Level* level) {
    g_pack.wide_length = level->wide_length;
    g_pack.wide[g_pack.wide_length] = 0;
    g_pack.display_length = level->display_length;
    g_pack.display[g_pack.display_length] = 0;
}

// The paths of a child of `level`.
static void paths_to_child(const Level* level, const WideChar* name, uint32_t units, bool raw) {
    paths_to(level);
    WideChar* w = g_pack.wide + g_pack.wide_length;
    *w++ = '\\';
    memcpy(w, name, units * sizeof(WideChar));
    w[units] = 0;
    g_pack.wide_length += units + 1;
    display_append(name, units, raw);
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

// What the archive cannot carry is marked here and told when the walk
// reaches it.
static uint32_t skip_reason(const PlatformSourceEntry* e, const char** fault) {
    if (!e->name_is_unicode) return SKIP_NOT_UTF8;
    *fault = name_fault(e->name, e->name_units);
    if (*fault) return SKIP_BAD_NAME;
    if (e->error) return SKIP_ATTRIBUTES;
    if (e->kind == PLATFORM_ENTRY_LINK && !g_pack.plain) return KEEP;
    if (e->kind != PLATFORM_ENTRY_FILE && e->kind != PLATFORM_ENTRY_DIRECTORY) return SKIP_KIND;
    return KEEP;
}

static bool keep_child(const PlatformSourceEntry* e) {
    uint32_t units = e->name_units + 1;
    if (!grow_reserve(&g_pack.children, sizeof(Child)) || !grow_reserve(&g_pack.names, units * sizeof(WideChar)))
        return false;
    Child* c = (Child*)(g_pack.children.bytes + g_pack.children.size);
    c->name_at = (uint32_t)(g_pack.names.size / sizeof(WideChar));
    c->name_units = e->name_units;
    c->kind = e->kind;
    c->fault = 0;
    c->skip = skip_reason(e, &c->fault);
    c->error = e->error;
    c->attributes = e->attributes;
    c->mode = e->mode_known ? (uint16_t)(MODE_KNOWN | (e->mode & MODE_PERMISSIONS)) : 0;
    c->time_faults = e->time_faults;
    c->size = e->size;
    c->creation_time = e->creation_time;
    c->write_time = e->write_time;
    c->access_time = e->access_time;
    c->state = e->state;
    c->identity_known = e->identity_known;
    c->volume = e->volume;
    c->index = e->index;
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

    char why[WHY_BYTES];
    if (!platform_list_begin(directory, g_pack.wide)) {
        report("cannot list directory <%s>: %s; its contents are skipped", g_pack.display,
               error_text(platform_last_error(), why, sizeof why, true));
        return;
    }
    for (;;) {
        int r = platform_list_next(&g_pack.listed);
        if (r == 0) break;
        if (r < 0) {
            report("cannot list directory <%s>: %s; the rest of it is skipped", g_pack.display,
                   error_text(platform_last_error(), why, sizeof why, true));
            break;
        }
        if (!keep_child(&g_pack.listed)) {
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

static void tell_skipped(const Child& c) {
    const char* d = g_pack.display;
    char why[WHY_BYTES];
    switch (c.skip) {
    case SKIP_NOT_UTF8: report("name not valid UTF-8, skipped: <%s>", d); return;
    case SKIP_BAD_NAME: report("%s, skipped: <%s>", c.fault, d); return;
    case SKIP_ATTRIBUTES:
        report("cannot read the attributes of <%s>: %s; skipped", d, error_text(c.error, why, sizeof why, true));
        return;
    }
    switch (c.kind) {
    case PLATFORM_ENTRY_LINK: report("symbolic link skipped: <%s>", d); return;
    case PLATFORM_ENTRY_DEVICE: report("device skipped: <%s>", d); return;
    case PLATFORM_ENTRY_SOCKET: report("socket skipped: <%s>", d); return;
    case PLATFORM_ENTRY_FIFO: report("FIFO skipped: <%s>", d); return;
    default: report("special file skipped: <%s>", d); return;
    }
}

// Adds the entry, and tells what the archive holds of it only in part.
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
    case INDEX_ADDED: break;
    case INDEX_TOO_LARGE:
        refuse(
            "the tree is too large for one archive: its names and records reach %s bytes at <%s>, and "
            "must stay under 2147483648",
            format_i64((int64_t)index_bytes(&g_pack.index), n), g_pack.display);
        return false;
    case INDEX_NO_MEMORY: refuse("out of memory adding <%s>", g_pack.display); return false;
    default:
        // The walk let through what the index refuses: a fault of ours.
        refuse("internal error adding <%s>", g_pack.display);
        return false;
    }
    if (is_directory(r)) g_pack.directories++;
    else g_pack.files++;
    // Legal on Linux, but no Windows name, and a garbled terminal line.
    if (has_controls(name_at(c.name_at), c.name_units))
        report("name holds control characters, stored: <%s>", g_pack.display);
    if (c.time_faults & PLATFORM_TIME_TOO_EARLY)
        report("time before 1601, stored as 1601-01-01: <%s>", g_pack.display);
    if (c.time_faults & PLATFORM_TIME_TOO_LATE)
        report("time after 30828, stored as 30828-09-14: <%s>", g_pack.display);
    return true;
}

// A child that was something else than listed: skipped as that.
static bool found_otherwise(const Child& c, uint32_t found) {
    if (found == c.kind) return false;
    Child other = c;
    other.kind = found;
    tell_skipped(other);
    return true;
}

static void pack_directory(const Level* parent, const Child& c, uint32_t depth) {
    uint32_t found = c.kind;
    PlatformHandle h = platform_open_source_directory(parent->directory, name_at(c.name_at), g_pack.wide, &found);
    if (h == PLATFORM_NO_HANDLE && found_otherwise(c, found)) return;
    if (h == PLATFORM_NO_HANDLE) {
        char why[WHY_BYTES];
        report("cannot open directory <%s>: %s; skipped with everything in it", g_pack.display,
               error_text(platform_last_error(), why, sizeof why, true));
        return;
    }
    if (!add_entry(c, depth, 0)) {
        platform_close(h);
        return;
    }
    index_seal_entry(&g_pack.index, c.mode, 0);
    push_level(h);
}

static bool same_state(const PlatformFileState& a, const PlatformFileState& b) {
    return a.size == b.size && a.write_stamp == b.write_stamp && (!a.change_known || !b.change_known || a.change_stamp == b.change_stamp);
}

// What reading showed of a file that may have changed meanwhile: one line
// at most, the most telling one.
static void tell_copy(const Child& c, PlatformHandle h, const CopyOutcome& copied, const PlatformFileState& before,
                      bool changed_since_listed) {
    char n1[24], n2[24], n3[24], why[WHY_BYTES];
    const char* d = g_pack.display;
    PlatformFileState after;
    if (copied.read < c.size && copied.read_error != 0) {
        report("cannot read <%s> after %s of %s bytes: %s; the rest is stored as zeros", d,
               format_i64((int64_t)copied.read, n1), format_i64((int64_t)c.size, n2),
               error_text(copied.read_error, why, sizeof why, true));
    } else if (copied.read < c.size) {
        report("<%s> shrank while read: %s bytes recorded, %s found; stored with zeros after them", d,
               format_i64((int64_t)c.size, n1), format_i64((int64_t)copied.read, n2));
    } else if (!platform_file_state(h, &after)) {
        report("cannot tell whether <%s> changed while read: %s", d,
               error_text(platform_last_error(), why, sizeof why, true));
    } else if (after.size != c.size) {
        report("<%s> changed size while read: %s bytes recorded, %s now; the first %s stored", d,
               format_i64((int64_t)c.size, n1), format_i64((int64_t)after.size, n2), format_i64((int64_t)c.size, n3));
    } else if (changed_since_listed || !same_state(after, before)) {
        report("<%s> changed while read: what is stored may mix old and new content", d);
    }
}

static void pack_file(const Level* parent, const Child& c, uint32_t depth) {
    char n1[24];
    if (c.size >= CONTENT_LENGTH_LIMIT) {
        refuse("<%s> holds %s bytes, more than the 1099511627775 an archive entry can", g_pack.display,
               format_i64((int64_t)c.size, n1));
        return;
    }
    // The archive being written, and the one it replaces, may lie inside the
    // tree; neither is part of it.
    if (c.identity_known && output_leaves_out(&g_pack.out, c.volume, c.index)) return;
    // An empty file is all in its listing: nothing to read, nothing to change.
    if (c.size == 0 && c.identity_known) {
        if (add_entry(c, depth, 0)) index_seal_entry(&g_pack.index, c.mode, 0);
        return;
    }
    uint32_t found = c.kind;
    PlatformHandle h = platform_open_source_file(parent->directory, name_at(c.name_at), g_pack.wide, &found);
    if (h == PLATFORM_NO_HANDLE && found_otherwise(c, found)) return;
    if (h == PLATFORM_NO_HANDLE) {
        char why[WHY_BYTES];
        report("cannot open file <%s>: %s; skipped", g_pack.display,
               error_text(platform_last_error(), why, sizeof why, true));
        return;
    }
    uint64_t volume, index;
    if (!c.identity_known && platform_file_identity(h, &volume, &index) &&
        output_leaves_out(&g_pack.out, volume, index)) {
        platform_release_source(h);
        return;
    }
    // Where the listing did not tell the whole state, it is taken now, and
    // must still be the listed one.
    PlatformFileState before = c.state;
    bool changed_since_listed = false;
    if (!before.change_known && platform_file_state(h, &before))
        changed_since_listed = before.size != c.state.size || before.write_stamp != c.state.write_stamp;
    if (!add_entry(c, depth, c.size)) {
        platform_release_source(h);
        return;
    }
    CopyOutcome copied = output_copy(&g_pack.out, h, c.size);
    index_seal_entry(&g_pack.index, c.mode, g_pack.out.crc);
    if (!g_pack.out.failed) tell_copy(c, h, copied, before, changed_since_listed);
    platform_release_source(h);
}

// A symbolic link, never followed: a file entry whose content is the
// target's bytes, marked as a link in its extension. A reader of the
// original rules makes a small file holding the target.
static void pack_link(const Level* parent, const Child& c, uint32_t depth) {
    char why[WHY_BYTES];
    int32_t n = platform_read_link(parent->directory, name_at(c.name_at), g_pack.wide, g_pack.target,
                                   sizeof g_pack.target);
    if (n == -2) {
        tell_skipped(c);
        return;
    }
    if (n < 0) {
        report("cannot read symbolic link <%s>: %s; skipped", g_pack.display,
               error_text(platform_last_error(), why, sizeof why, true));
        return;
    }
    if (!add_entry(c, depth, (uint64_t)n)) return;
    output_append(&g_pack.out, g_pack.target, (uint32_t)n);
    index_seal_entry(&g_pack.index, (uint16_t)(MODE_LINK | c.mode), g_pack.out.crc);
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
        paths_to_child(top, name_at(c.name_at), c.name_units, c.skip == SKIP_NOT_UTF8);
        progress_update(g_pack.directories, g_pack.files, g_pack.out.data_bytes);
        if (c.skip != KEEP) tell_skipped(c);
        else if (depth >= DEPTH_LIMIT) report("deeper than 255 levels, skipped: <%s>", g_pack.display);
        else if (!index_path_fits(&g_pack.index, depth, name_at(c.name_at), c.name_units))
            report("path too long to restore, skipped: <%s>", g_pack.display);
        else if (c.kind == PLATFORM_ENTRY_DIRECTORY) pack_directory(top, c, depth);
        else if (c.kind == PLATFORM_ENTRY_LINK) pack_link(top, c, depth);
        else pack_file(top, c, depth);
    }
    while (g_pack.level_count > 0) pop_level();
    platform_release_sources();
}

// What a run allocated, for a caller that goes on (the tests run many).
static int finish_run(int status) {
    index_free(&g_pack.index);
    grow_free(&g_pack.children);
    grow_free(&g_pack.names);
    free(g_pack.display);
    free(g_pack.out.buffer);
    if (status == EXIT_EARLY) progress_clear();
    return status;
}

int run_pack(const char* source_argument, const char* archive_argument, bool plain) {
    memset(&g_pack, 0, sizeof g_pack);
    index_init(&g_pack.index);
    g_pack.plain = plain;
    if (!plain) index_extend(&g_pack.index);
    progress_start();
    // Every byte of a name may take four to show.
    size_t display_bytes = strlen(source_argument) + 1 + (size_t)(DEPTH_LIMIT + 1) * (PLATFORM_NAME_UNITS * 4 * 2 + 1);
    g_pack.display = (char*)malloc(display_bytes);
    if (!g_pack.display) {
        tell("cannot pack <%s>: out of memory", source_argument);
        return finish_run(EXIT_EARLY);
    }
    g_pack.display_length = strlen(source_argument);
    memcpy(g_pack.display, source_argument, g_pack.display_length + 1);

    // Only Windows reaches the source by this path; POSIX goes by the
    // argument and descriptors, whatever bytes the argument holds.
    uint32_t n = long_path_of(source_argument, g_pack.wide, PLATFORM_WIDE_PATH_UNITS);
    PlatformHandle root = platform_open_source_root(source_argument, g_pack.wide);
    if (root == PLATFORM_NO_HANDLE) {
        char why[WHY_BYTES];
        tell("cannot open source directory <%s>: %s", source_argument,
             error_text(platform_last_error(), why, sizeof why, true));
        return finish_run(EXIT_EARLY);
    }
    // A root that ends in a separator (a drive root, "/") would double it
    // before the first name.
    if (n > 0 && (g_pack.wide[n - 1] == '\\' || g_pack.wide[n - 1] == '/')) n--;
    g_pack.wide_length = n;
    g_pack.wide[n] = 0;

    g_pack.out.checksums = !plain;
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
    progress_finish(g_pack.directories, g_pack.files, g_pack.out.data_bytes, g_pack.reported, archive_argument);
    return finish_run(g_pack.reported ? EXIT_INCOMPLETE : EXIT_COMPLETE);
}
