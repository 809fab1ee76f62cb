// Rules about the names and paths inside an archive that more than one
// program applies: which names the extractor refuses to create, which paths
// it can build, and which paths a FILTER selects.
#ifndef UNTREE_ARCHIVE_NAMES_H
#define UNTREE_ARCHIVE_NAMES_H

#include <stdint.h>

enum {
    // The extractor builds every path as the long-path prefix "\\?\", the
    // destination root, then the names joined by "\", with a terminator, in
    // buffers of these sizes (CESU-8 bytes, and UTF-16 units).
    PATH_BUFFER_BYTES = 65536,
    PATH_BUFFER_UNITS = 32768,
    LONG_PATH_PREFIX_BYTES = 4,
    FILTER_BYTES = 1024,  // a FILTER of at most 1023 bytes, and its terminator
};

// Could this name, decoded as the platform will receive it, name anything
// but a child of its parent?
bool component_is_safe(const uint16_t* name, uint32_t units);

// Names Windows itself treats apart, as bits: it drops a dot or a blank at
// the end of a name, and takes a device name (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, in any case, alone or with blanks or an extension
// after it) for the device. *device is set to the device's name.
enum WindowsNameFault { WINDOWS_NAME_TRAILING = 1,
                        WINDOWS_NAME_DEVICE = 2 };
uint32_t windows_name_faults(const uint16_t* name, uint32_t units, const char** device);

// Can the extractor build a relative path of this many bytes (CESU-8, names
// joined by "\") and UTF-16 units under the shortest destination root there
// is ("/", whose separator is dropped)? A longer root lowers both limits.
bool relative_path_fits(uint64_t bytes, uint64_t units);

// Byte-wise over at most n bytes; the end of a text is the smaller byte.
int compare_prefix(const char* a, const char* b, uint32_t n);

// Selected when the relative path and the filter agree over the shorter of
// the two: the entries inside the chosen subtree, and the directories
// leading to it. An empty filter selects everything.
bool path_selected(const char* relative, const char* filter, uint32_t filter_length);

// Whether the entry at `relative` answers a FILTER the user typed: the filter
// is a prefix of its path (what lies inside the named subtree, byte for byte
// as path_selected takes it), or the path is the filter without its closing
// backslashes ("docs\" names docs). The directories on the way down do not
// answer it: a filter naming nothing that is there is not found.
bool filter_reaches(const char* relative, const char* filter, uint32_t filter_length);
// Whether the path is the one the filter names or lies inside it, name by
// name: "docs\api" names docs\api and docs\api\x, never docs\apiary, nor
// docs on the way down. An empty filter names everything.
bool filter_names(const char* relative, const char* filter, uint32_t filter_length);

// A FILTER argument in the archive's own name encoding: a character beyond
// the Basic Multilingual Plane given as 4-byte UTF-8 becomes its two
// surrogates, and a slash a backslash (no name holds a slash, so a filter
// with one selected nothing before; now "docs/api/" works as typed on
// Linux). Returns the length, or UINT32_MAX when it does not fit.
uint32_t filter_to_cesu8(const char* argument, char* out, uint32_t capacity);

#endif
