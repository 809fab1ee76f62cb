// The tree in memory, built from the walk over the index untree and
// untree-list make (archive/index.h). Entries untree would not restore (an
// unsafe name and everything inside it, a second entry under a name its
// directory holds already) are left out with a line each, as are those
// Linux cannot hold (a name over 255 bytes, a link target of 4096 bytes or
// more); damage that stops untree, or that untree-list --check calls an
// error of the archive, refuses the mount with the check's words.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/extension.h"
#include "archive/index.h"
#include "archive/problems.h"
#include "archive/names.h"
#include "mount/mount.h"
#include "platform/mount_serve.h"
#include "report/console.h"

MountState g_mount;

enum { NAME_BYTES_LIMIT = 255 };  // what Linux takes in one name

static void say(const char* format, va_list args) {
    char text[1024];
    (void)vsnprintf(text, sizeof text, format, args);
    console_err("untree-mount: %s: %s\n", g_mount.archive_path, text);
}

static bool refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    say(format, args);
    va_end(args);
    return false;
}

static void leave_out(int32_t entry, const char* format, ...) {
    char text[900];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const char* shown = console_name(CONSOLE_ERR, g_mount.name, (uint32_t)strlen(g_mount.name));
    console_err("untree-mount: %s: entry %d <%s>: %s\n", g_mount.archive_path, entry, shown, text);
    g_mount.left_out++;
}

// --- Finding a name -------------------------------------------------------------

// Each directory has its own table of its children's names, made once the
// walk is over, directory after directory: each table is small and filled
// while it is in the cache, where one table of every name would miss the
// cache at every entry.
static uint32_t table_size(uint32_t children) {
    uint32_t size = 2;
    while (size < 2 * (uint64_t)children) size *= 2;
    return size;
}

static uint32_t name_hash(const char* name, uint32_t length) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint32_t i = 0; i < length; i++) h = (h ^ (uint8_t)name[i]) * 0x100000001B3ull;
    return (uint32_t)hash_mix(h ^ length);
}

uint32_t find_child(uint32_t parent, const char* name, uint32_t length) {
    const MountState* m = &g_mount;
    const MountNode& dir = m->nodes[parent];
    if (dir.child_count == 0) return UINT32_MAX;
    const uint32_t* table = m->slots + dir.offset;
    uint32_t mask = table_size(dir.child_count) - 1;
    for (uint32_t p = name_hash(name, length) & mask; table[p]; p = (p + 1) & mask) {
        const MountNode& n = m->nodes[table[p] - 1];
        if (n.name_length == length && memcmp(m->names + n.name_at, name, length) == 0) return table[p] - 1;
    }
    return UINT32_MAX;
}

static bool make_name_tables() {
    MountState* m = &g_mount;
    uint64_t total = 0;
    for (uint32_t i = 0; i < m->node_count; i++) {
        MountNode& d = m->nodes[i];
        if (!node_is_directory(d) || d.child_count == 0) continue;
        d.offset = total;
        total += table_size(d.child_count);
    }
    m->slots = (uint32_t*)calloc((size_t)total + 1, sizeof(uint32_t));
    if (!m->slots) return refuse("not enough memory for the names of the index");
    for (uint32_t i = 0; i < m->node_count; i++) {
        const MountNode& d = m->nodes[i];
        if (!node_is_directory(d) || d.child_count == 0) continue;
        uint32_t* table = m->slots + d.offset;
        uint32_t mask = table_size(d.child_count) - 1;
        for (uint32_t k = 0; k < d.child_count; k++) {
            uint32_t child = m->children[d.first_child + k];
            const MountNode& n = m->nodes[child];
            uint32_t p = name_hash(m->names + n.name_at, n.name_length) & mask;
            while (table[p]) p = (p + 1) & mask;
            table[p] = child + 1;
        }
    }
    return true;
}

// --- The walk ---------------------------------------------------------------------

static bool index_unreadable() {
    const ArchiveReader* a = &g_mount.archive;
    char text[512];
    const char* why = a->index_error ? error_text(a->index_error, text, sizeof text, true) : a->index_fault;
    return refuse("cannot read the index: %s", why);
}

// What the trailer says, before any record: refused when the index cannot
// be found or read.
static bool check_trailer() {
    const ArchiveReader* a = &g_mount.archive;
    char x[24];
    if (a->file_size < TRAILER_BYTES)
        return refuse("not a tree archive: %s bytes, shorter than its 8-byte trailer", format_u64(a->file_size, x));
    if (a->index_unreadable) return index_unreadable();
    char text[PROBLEM_TEXT_BYTES];
    if (regions_problem(a, text)) return refuse("%s", text);
    if (const char* reason = not_a_tree_archive(a, text)) return refuse("not a tree archive: %s", reason);
    if (uint32_t left_over = a->trailer.records_size % RECORD_BYTES)
        return refuse("%s", records_left_over_problem(left_over, text));
    return true;
}

// Why the walk stops at its entry, as untree-list --check says it; true
// when it does, after that line.
static bool stops_here(const IndexWalk* w) {
    char text[PROBLEM_TEXT_BYTES];
    const char* problem = entry_stop_problem(w, text);
    if (problem) refuse("entry %d: %s", w->entry_number, problem);
    return problem != 0;
}

// What the whole index says once its records are read.
static bool check_regions(uint64_t contents) {
    const ArchiveReader* a = &g_mount.archive;
    char text[PROBLEM_TEXT_BYTES];
    // An extended archive's footer line follows the last name: the first
    // pass has checked it stands there.
    uint64_t extra = names_left(a);
    if (g_mount.extension.extended && extra == FOOTER_BYTES) extra = 0;
    if (extra_names_problem(extra, text)) return refuse("%s", text);
    if (contents_sum_problem(contents, index_data_region(a), text)) return refuse("%s", text);
    return true;
}

// The walk's entries by number, to the node each became (UINT32_MAX: left
// out), for the second copy of a directory to find its first.
static uint32_t* g_node_of_entry;

static bool allocate(uint32_t entries, uint32_t names_size) {
    MountState* m = &g_mount;
    m->nodes = (MountNode*)calloc((size_t)entries + 1, sizeof(MountNode));
    // A name as the system takes it is never longer than its CESU-8 line.
    m->names = (char*)malloc((size_t)names_size + 1);
    m->damaged = (uint8_t*)calloc((size_t)entries + 1, 1);
    g_node_of_entry = (uint32_t*)malloc(((size_t)entries + 1) * sizeof(uint32_t));
    if (m->nodes && m->names && m->damaged && g_node_of_entry) return true;
    char x[24];
    return refuse("not enough memory for the index of %s entries", format_u64(entries, x));
}

// Every directory's children, one run each, in the order they came.
static bool gather_children() {
    MountState* m = &g_mount;
    m->children = (uint32_t*)malloc(((size_t)m->node_count + 1) * sizeof(uint32_t));
    if (!m->children) return refuse("not enough memory for the directories of the index");
    uint32_t at = 0;
    for (uint32_t i = 0; i < m->node_count; i++) {
        MountNode& n = m->nodes[i];
        n.first_child = at;
        at += n.child_count;
        n.child_count = 0;
    }
    for (uint32_t i = 1; i < m->node_count; i++) {
        MountNode& parent = m->nodes[m->nodes[i].parent];
        m->children[parent.first_child + parent.child_count++] = i;
    }
    return true;
}

// The permission bits untree gives an entry of an extended archive here, by
// its own rule. 0: none stored, the attribute word's rule applies.
static uint16_t shown_mode(const EntryRecord& r, bool link) {
    if (link) return MODE_LINK | MODE_KNOWN | 0777;
    int32_t mode = g_mount.extension.extended ? restored_permissions(r, g_mount.permission_mask) : -1;
    return mode < 0 ? 0 : (uint16_t)(MODE_KNOWN | (uint32_t)mode);
}


// The walk, and the table of where each depth's entries go.
static IndexWalk g_walk;
static uint32_t g_parent_at[DEPTH_LIMIT + 2];

// Adds the walk's entry to the tree. False when Linux cannot hold it, said.
static void add_entry(const IndexWalk* w, uint64_t offset, int32_t* skipped_depth) {
    MountState* m = &g_mount;
    const EntryRecord& r = w->record;
    int d = r.depth;
    memcpy(m->units, w->units, w->unit_count * sizeof(WideChar));
    m->units[w->unit_count] = 0;
    uint32_t length = platform_name_bytes(m->units, m->name, sizeof m->name);
    uint32_t parent = g_parent_at[d];
    if (w->verdict == VERDICT_UNSAFE) {
        leave_out(w->entry_number, "unsafe name: left out, with everything inside it");
        return;
    }
    if (w->verdict == VERDICT_DUPLICATE) {
        leave_out(w->entry_number, "same name as entry %d: this one is left out", w->same_as);
        return;
    }
    if (w->verdict == VERDICT_MERGED) {
        // A directory listed twice is one directory: the first copy's.
        uint32_t same = g_node_of_entry[w->same_as];
        if (same != UINT32_MAX) g_parent_at[d + 1] = same;
        else *skipped_depth = d;  // the first copy was left out here
        return;
    }
    bool link = m->extension.extended && is_link(r);
    if (link && content_length(r) >= LINK_TARGET_LIMIT) {
        leave_out(w->entry_number, "link target of 4096 bytes or more: left out");
        return;
    }
    if (length > NAME_BYTES_LIMIT) {
        leave_out(w->entry_number, "name longer than 255 bytes in UTF-8: left out, with everything inside it");
        *skipped_depth = d;
        return;
    }
    uint32_t node = m->node_count++;
    MountNode& n = m->nodes[node];
    n.offset = offset;
    n.length = is_directory(r) ? 0 : content_length(r);
    n.creation_time = r.creation_time;
    n.write_time = r.write_time;
    n.access_time = r.access_time;
    n.attributes = r.attributes;
    n.mode = shown_mode(r, link);
    n.content_crc = entry_extension(r).content_crc;
    n.parent = parent;
    n.name_at = m->names_used;
    n.name_length = (uint16_t)length;
    memcpy(m->names + m->names_used, m->name, length);
    m->names_used += length;
    g_node_of_entry[w->entry_number] = node;
    m->nodes[parent].child_count++;
    if (is_directory(r)) {
        m->nodes[parent].subdirectories++;
        g_parent_at[d + 1] = node;
    }
}

bool build_tree(const char* archive_path) {
    MountState* m = &g_mount;
    ArchiveReader* a = &m->archive;
    m->archive_path = archive_path;
    if (!open_cursors(a, archive_path)) {
        char text[512];
        uint32_t error = platform_last_error();
        console_err("untree-mount: cannot open %s: %s\n", archive_path, error_text(error, text, sizeof text, true));
        return false;
    }
    if (!check_trailer()) return false;
    // The first pass: the checksums of the index, before anything is shown.
    check_extension(a, &m->extension);
    if (m->extension.fault && m->extension.entry)
        return refuse("entry %d: %s", m->extension.entry, m->extension.fault);
    if (m->extension.fault) return refuse("%s", m->extension.fault);
    m->permission_mask = platform_permission_mask();
    if (!allocate(a->trailer.records_size / RECORD_BYTES, a->trailer.names_size)) return false;
    m->nodes[0].attributes = ATTRIBUTE_DIRECTORY;
    m->node_count = 1;

    IndexWalk* w = &g_walk;
    uint32_t room_bytes, room_units;
    index_shortest_root(&room_bytes, &room_units);
    if (!index_begin(w, a, room_bytes, room_units, 0)) return refuse("not enough memory for the names of the index");
    int32_t skipped_depth = -1;  // inside an entry left out here, not by the walk
    uint64_t data_at = 0;        // where the next file's content starts
    for (;;) {
        IndexStep step = index_step(w);
        if (step == INDEX_END) break;
        if (step != INDEX_ENTRY) return index_unreadable();
        if (stops_here(w)) return false;
        const EntryRecord& r = w->record;
        uint64_t offset = data_at;
        if (!is_directory(r)) data_at += content_length(r);
        g_node_of_entry[w->entry_number] = UINT32_MAX;
        if (skipped_depth >= 0 && r.depth > skipped_depth) continue;
        skipped_depth = -1;
        if (w->verdict != VERDICT_INSIDE) add_entry(w, offset, &skipped_depth);
    }
    bool regions = check_regions(w->contents);
    index_end(w);
    if (!regions) return false;
    // Only the contents are read from here on.
    platform_close(a->cursors.name_cursor);
    platform_close(a->cursors.record_cursor);
    a->cursors.name_cursor = a->cursors.record_cursor = PLATFORM_NO_HANDLE;
    free(g_node_of_entry);
    g_node_of_entry = 0;
    return gather_children() && make_name_tables();
}
