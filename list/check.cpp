// The problems of an archive's index, one line each, and the checks of
// every name: would untree create it, would Windows, does a sibling take
// the same place.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "list/list.h"
#include "platform/platform.h"
#include "report/console.h"

// --- Problem lines ------------------------------------------------------------------

static void problem_line(Severity severity, bool at_entry, const char* format, va_list args) {
    ListState* g = &g_list;
    char text[512];
    (void)vsnprintf(text, sizeof text, format, args);
    if (severity == SEVERITY_ERROR) g->totals.errors++;
    else g->totals.warnings++;

    // A listing says it on standard error, as a check says it on standard
    // output: the line is put together in the output buffer either way.
    bool listing = g->mode != MODE_CHECK;
    if (listing) {
        message_begin();
        out_text(g->archive_path);
        out_text(": ");
    }
    if (at_entry) {
        out_text("entry ");
        out_u64((uint64_t)g->walk.entry_number);
        if (g->walk.path_known) {
            out_text(" <");
            out_path();
            out_text(">");
        }
        out_text(": ");
    } else if (!listing) {
        out_text("archive: ");
    }
    out_text(severity == SEVERITY_ERROR ? "error: " : "warning: ");
    out_text(text);
    if (listing) message_end();
    else out_end_line();
}

void entry_problem(Severity severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    problem_line(severity, true, format, args);
    va_end(args);
}

void archive_problem(const char* format, ...) {
    va_list args;
    va_start(args, format);
    problem_line(SEVERITY_ERROR, false, format, args);
    va_end(args);
}

// --- Case ---------------------------------------------------------------------------

// The upper case of a UTF-16 unit, as case-insensitive file systems compare
// names, for the letters of the Latin (ASCII, Latin-1, Extended-A and
// Additional), Greek, Cyrillic and Armenian scripts and fullwidth Latin;
// other units are their own.
static uint16_t fold_unit(uint16_t u) {
    if (u < 0x80) return u >= 'a' && u <= 'z' ? (uint16_t)(u - 32) : u;
    if (u < 0x100) {
        if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return (uint16_t)(u - 32);
        if (u == 0xFF) return 0x178;
        if (u == 0xB5) return 0x39C;
        return u;
    }
    if (u < 0x180) {
        if (u == 0x131) return 'I';
        if (u == 0x17F) return 'S';
        // Pairs: capital on the even unit, except in two runs where it is on the odd one.
        bool odd_capital = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        if (u == 0x138 || u == 0x149) return u;
        return (uint16_t)(odd_capital ? ((u & 1) ? u : u - 1) : (u & ~1u));
    }
    if (u >= 0x3AC && u <= 0x3CE) {
        if (u == 0x3AC) return 0x386;
        if (u <= 0x3AF) return (uint16_t)(u - 37);
        if (u == 0x3B0) return u;
        if (u == 0x3C2) return 0x3A3;
        if (u <= 0x3CB) return (uint16_t)(u - 32);
        if (u == 0x3CC) return 0x38C;
        return (uint16_t)(u - 63);
    }
    if (u >= 0x430 && u <= 0x44F) return (uint16_t)(u - 32);
    if (u >= 0x450 && u <= 0x45F) return (uint16_t)(u - 80);
    if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F) ||
        (u >= 0x1E00 && u <= 0x1E95) || (u >= 0x1EA0 && u <= 0x1EFF))
        return (uint16_t)(u & ~1u);
    if (u >= 0x4C1 && u <= 0x4CE) return (uint16_t)((u & 1) ? u : u - 1);
    if (u == 0x4CF) return 0x4C0;
    if (u >= 0x561 && u <= 0x586) return (uint16_t)(u - 48);
    if (u >= 0xFF41 && u <= 0xFF5A) return (uint16_t)(u - 32);
    return u;
}

static uint64_t hash_units(const uint16_t* units, uint32_t count, bool folded) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint32_t i = 0; i < count; i++) {
        uint16_t u = folded ? fold_unit(units[i]) : units[i];
        h = (h ^ (u & 0xFF)) * 0x100000001B3ull;
        h = (h ^ (u >> 8)) * 0x100000001B3ull;
    }
    return hash_mix(h ^ count);
}

// --- Sibling names -----------------------------------------------------------------

static uint32_t home_slot(const SiblingTable* t, uint64_t folded, uint32_t depth) {
    return (uint32_t)hash_mix(folded + depth) & (t->slot_count - 1);
}

static void place_in_slots(SiblingTable* t, uint32_t index) {
    uint32_t p = home_slot(t, t->keys[index].folded, t->keys[index].depth);
    while (t->slots[p]) p = (p + 1) & (t->slot_count - 1);
    t->slots[p] = index + 1;
}

// Room for one more key; false when memory runs out.
static bool grow_siblings(SiblingTable* t) {
    if (t->count == t->capacity) {
        uint32_t capacity = t->capacity ? t->capacity * 2 : 1024;
        SiblingKey* keys = (SiblingKey*)realloc(t->keys, (size_t)capacity * sizeof(SiblingKey));
        if (!keys) return false;
        t->keys = keys;
        t->capacity = capacity;
    }
    if ((uint64_t)(t->count + 1) * 2 < t->slot_count) return true;
    uint32_t slot_count = t->slot_count ? t->slot_count * 2 : 2048;
    uint32_t* slots = (uint32_t*)calloc(slot_count, sizeof(uint32_t));
    if (!slots) return false;
    free(t->slots);
    t->slots = slots;
    t->slot_count = slot_count;
    for (uint32_t i = 0; i < t->count; i++) place_in_slots(t, i);
    return true;
}

void leave_siblings(uint32_t depth) {
    SiblingTable* t = &g_list.siblings;
    uint32_t mask = t->slot_count - 1;
    while (t->count && t->keys[t->count - 1].depth > depth) {
        uint32_t index = --t->count;
        uint32_t p = home_slot(t, t->keys[index].folded, t->keys[index].depth);
        while (t->slots[p] != index + 1) p = (p + 1) & mask;
        // Keys go in the order they came (a rehash keeps it), so only keys
        // placed after this one can have probed past its slot, and those
        // have gone already: the slot is simply freed.
        t->slots[p] = 0;
    }
}

void release_siblings() {
    free(g_list.siblings.keys);
    free(g_list.siblings.slots);
    memset(&g_list.siblings, 0, sizeof g_list.siblings);
}

// What untree makes of a name an earlier sibling has: the walk's verdict.
// Where the file system tells case apart, the same name up to case is only
// a warning for Windows, found here by a table of its own. Returns false
// when memory ran out.
static bool check_siblings() {
    ListState* g = &g_list;
    const IndexWalk* w = &g->walk;
    if (w->verdict == VERDICT_MERGED) {
        entry_problem(SEVERITY_WARNING, "same name as entry %d: the two directories are merged", w->same_as);
        return true;
    }
    if (w->verdict == VERDICT_DUPLICATE) {
        entry_problem(SEVERITY_ERROR, "same name as entry %d: this one is not extracted", w->same_as);
        return true;
    }
    if (platform_names_ignore_case()) return true;
    SiblingTable* t = &g->siblings;
    uint32_t depth = w->record.depth;
    if (!grow_siblings(t)) return false;
    SiblingKey key = {hash_units(w->units, w->unit_count, false), hash_units(w->units, w->unit_count, true),
                      w->entry_number, depth, is_directory(w->record)};
    const SiblingKey* same_case = 0;
    for (uint32_t p = home_slot(t, key.folded, depth); t->slots[p]; p = (p + 1) & (t->slot_count - 1)) {
        const SiblingKey& k = t->keys[t->slots[p] - 1];
        if (k.folded == key.folded && k.depth == depth && k.exact != key.exact) {
            same_case = &k;
            break;
        }
    }
    if (same_case && same_case->directory && key.directory)
        entry_problem(SEVERITY_WARNING, "same name up to case as entry %d: on Windows the two directories are merged",
                      same_case->entry);
    else if (same_case)
        entry_problem(SEVERITY_WARNING, "same name up to case as entry %d: on Windows this one is not extracted",
                      same_case->entry);
    t->keys[t->count++] = key;
    place_in_slots(t, t->count - 1);
    return true;
}

// --- Names --------------------------------------------------------------------------

// Bytes of the name in the UTF-8 the Linux backend writes: a surrogate pair
// as one four-byte character, a lone surrogate in three bytes.
static uint32_t utf8_length(const uint16_t* units, uint32_t count) {
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint16_t u = units[i];
        if (u < 0x80) bytes += 1;
        else if (u < 0x800) bytes += 2;
        else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            bytes += 4;
            i++;
        } else bytes += 3;
    }
    return bytes;
}

enum { NAME_LENGTH_LIMIT = 255 };  // per name: UTF-16 units on Windows, bytes on Linux

bool check_name() {
    ListState* g = &g_list;
    const uint16_t* units = g->walk.units;
    uint32_t count = g->walk.unit_count;
    if (g->walk.verdict == VERDICT_UNSAFE) {
        entry_problem(SEVERITY_ERROR, "unsafe name: untree refuses it and everything inside it");
        return true;
    }
    const NameLineReader& names = g->archive.names;
    if (!name_is_text(names.line, names.line_length)) entry_problem(SEVERITY_WARNING, "name is not valid text");

    bool control = false, forbidden = false;
    for (uint32_t i = 0; i < count; i++) {
        uint16_t u = units[i];
        control |= u < 0x20;
        forbidden |= u == '<' || u == '>' || u == '"' || u == '|' || u == '?' || u == '*';
    }
    if (control) entry_problem(SEVERITY_WARNING, "control character in the name: not allowed on Windows");
    if (forbidden) entry_problem(SEVERITY_WARNING, "one of < > \" | ? * in the name: not allowed on Windows");
    const char* device;
    uint32_t windows = windows_name_faults(units, count, &device);
    if (windows & WINDOWS_NAME_TRAILING)
        entry_problem(SEVERITY_WARNING, "name ends with a dot or a blank: Windows programs cannot open it");
    if (windows & WINDOWS_NAME_DEVICE) entry_problem(SEVERITY_WARNING, "reserved device name on Windows: %s", device);
    if (count > NAME_LENGTH_LIMIT)
        entry_problem(SEVERITY_WARNING, "name longer than 255 UTF-16 units: too long for Windows");
    if (utf8_length(units, count) > NAME_LENGTH_LIMIT)
        entry_problem(SEVERITY_WARNING, "name longer than 255 bytes in UTF-8: too long for Linux");
    return check_siblings();
}
