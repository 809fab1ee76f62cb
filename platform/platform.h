// The one interface between untree's logic and the operating system.
//
// The operations are modelled on the Windows file services the extractor was
// designed around (CreateFileW, CreateDirectoryW, SetFileTime, ...): the Win32
// backend makes those calls, the POSIX backend does on Linux what the caller
// expects of them. Paths handed in are UTF-16, NUL-terminated, in the form the
// extractor builds them: an optional long-path prefix "\\?\", then the root,
// then components joined by backslashes.
//
// Nothing outside platform/ includes a system header beyond the C library.
#ifndef UNTREE_PLATFORM_H
#define UNTREE_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef intptr_t PlatformHandle;  // 0 is "no handle"
typedef uint16_t WideChar;        // one UTF-16 code unit on every platform

enum {
    PLATFORM_NO_HANDLE = 0,
    PLATFORM_WIDE_PATH_UNITS = 32768,
};

// Error codes the logic needs to recognise, in the platform's own numbering.
uint32_t platform_error_already_exists();
uint32_t platform_error_access_denied();
uint32_t platform_error_path_not_found();

// What the tree-writing calls refuse on their own account, where the system
// itself would have gone ahead. The codes lie where no system puts its own
// (Windows leaves bit 29 to applications); the report gives them their text.
enum PlatformRefusal {
    PLATFORM_REFUSED_LINK = 0x20000001,  // a link or junction stands there: not followed
    PLATFORM_REFUSED_NOT_REGULAR,        // a FIFO, socket or device stands there
    PLATFORM_REFUSED_ARCHIVE,            // it is the archive being read
    PLATFORM_REFUSED_DUPLICATE,          // this run wrote it already (the same name, up to case)
};

// --- Process -------------------------------------------------------------
// The program's arguments as UTF-8 (Windows: taken from the wide command line
// so nothing is lost to a code page; POSIX: the bytes as given). Allocated
// once at start and never freed.
void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv);
// Puts the standard streams in the mode the console conventions ask for.
void platform_init_console();
bool platform_is_terminal(FILE* stream);
// As many open handles as the system grants this process: the extractor
// holds one per directory level it is in.
void platform_raise_handle_limit();

// --- Archive reading -----------------------------------------------------
// Opens an existing file for reading, sharing read, write and delete.
PlatformHandle platform_open_read(const char* utf8_path);
// Reads up to count bytes; returns the count read (0 at the end or on no handle).
uint32_t platform_read(PlatformHandle handle, void* buffer, uint32_t count);
// Moves to `distance` bytes from the end of the file (negative: before it).
// Fails, leaving the position unchanged, when that lands before the start.
bool platform_seek_from_end(PlatformHandle handle, int64_t distance);
// Moves forward by `distance` bytes from the current position.
bool platform_skip_forward(PlatformHandle handle, uint64_t distance);
// Length of an open file, 0 when unknown.
uint64_t platform_file_size(PlatformHandle handle);
void platform_close(PlatformHandle handle);

// --- Tree writing --------------------------------------------------------
// The extractor writes below one destination root, which it opens once and
// holds for the run. Below it, every directory and file is made or opened
// through its parent's handle and its own name (UTF-16, NUL-terminated, one
// component), never through a path: whatever another process renames or
// swaps in the tree meanwhile, nothing is written outside it, and a link
// already standing where an entry goes is never followed.

// Opens the destination root; a link there is followed, since the user named
// it. `archive` is the archive being read: no tree-writing call writes it.
// Also marks the start of the run: a file changed from now on counts as
// written by this run.
PlatformHandle platform_open_tree(const WideChar* root, PlatformHandle archive);

enum DirectoryResult {
    DIRECTORY_CREATED,   // made by this call and held in *out
    DIRECTORY_EXISTING,  // a directory was there already: held in *out only as a way in
    DIRECTORY_NOT_MADE,  // it could not be made and is not there (last error)
    DIRECTORY_REFUSED,   // there, but it must not or cannot be entered (last error)
};
// A directory made with the attribute word given, or the one already there.
DirectoryResult platform_enter_directory(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                         PlatformHandle* out);
// Opens a file for writing, empty. A new file is created. Of what stands there
// already, only a regular file is written, and never the archive, a
// read-only file (the access-denied error) or one this run wrote; a file with
// more names than this one is replaced by a new file under this name, so the
// others keep their content. Anything else is refused (PlatformRefusal).
PlatformHandle platform_create_file(PlatformHandle parent, const WideChar* name);
// Writes count bytes; returns the count written (0 on no handle).
uint32_t platform_write(PlatformHandle handle, const void* buffer, uint32_t count);
// Copies count bytes from the current position of `from` to the current
// position of `to` inside the kernel. Returns the count copied, or -1 when the
// platform has no such copy for these two files (nothing was transferred).
// A short count with the last error set means the destination refused more.
int64_t platform_copy_in_kernel(PlatformHandle from, PlatformHandle to, uint64_t count);
// Sets creation, last access and last write time (FILETIMEs); 0 leaves a
// time unchanged.
void platform_set_times(PlatformHandle handle, uint64_t creation, uint64_t access, uint64_t write);
// A written file's times, then its attribute word, through its handle
// before it is closed.
void platform_stamp_file(PlatformHandle handle, uint64_t creation, uint64_t access, uint64_t write,
                         uint32_t attributes);
// What stands at a path, without following a link there. PATH_LINK covers
// symbolic links, junctions and other reparse points, directories included.
enum PathKind { PATH_MISSING, PATH_DIRECTORY, PATH_LINK, PATH_OTHER };
PathKind platform_path_kind(const WideChar* path);

// --- Errors --------------------------------------------------------------
// The error left by the last failed operation; read it before anything else.
uint32_t platform_last_error();
// The system's own text for an error code, in the console's code page, into
// out (NUL-terminated). Returns its length; 0 when the system has none.
uint32_t platform_error_text(uint32_t code, char* out, uint32_t capacity);

// --- Text ----------------------------------------------------------------
// A command-line argument (UTF-8) to UTF-16, terminator included. Returns the
// units written including the terminator, 0 on failure.
uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity);
// Absolute, normalised form of a path. Returns its length without the
// terminator, 0 on failure, or the capacity it would need when larger.
uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity);
// UTF-16 (terminator included) to UTF-8. Returns bytes written including the
// terminator, 0 on failure.
uint32_t platform_wide_to_utf8(const WideChar* text, char* out, uint32_t capacity);
// The separator the platform's full paths may not contain besides its own
// (POSIX: a backslash would be read back as a separator); 0 when none.
WideChar platform_foreign_separator();

// --- Time ----------------------------------------------------------------
uint32_t platform_tick_count();      // milliseconds, wrapping
uint64_t platform_cycle_counter();   // processor cycles, or a counter of similar rate

// --- Fault injection (tests) ---------------------------------------------
// Every system call a backend makes goes through one table. A test can make
// the nth call (counted from 1) of a named call fail with a chosen error, and
// the backend behaves exactly as it would on that real failure.
// Returns false when the name is not in the table.
bool platform_inject_fault(const char* call_name, uint32_t nth, uint32_t error);
void platform_clear_faults();

// --- Packing ---------------------------------------------------------------
// The packer walks its source one directory at a time and holds the
// directories open from the root down to the one it is in. A child is named
// twice: by its parent's handle and its own name, and by its full path in the
// long-path form the tree-writing calls take. Each backend uses the form that
// reaches any depth on its system: POSIX the handle and the name (openat, no
// path-length limit), Windows the full path.

enum PlatformEntryKind {
    PLATFORM_ENTRY_FILE,
    PLATFORM_ENTRY_DIRECTORY,
    PLATFORM_ENTRY_LINK,  // symbolic link, junction: never followed
    PLATFORM_ENTRY_DEVICE,
    PLATFORM_ENTRY_SOCKET,
    PLATFORM_ENTRY_FIFO,
    PLATFORM_ENTRY_OTHER,
};

enum {
    PLATFORM_NAME_UNITS = 260,  // one name and its terminator, on either system
    PLATFORM_NAME_BYTES = 260,
};

// One child of a directory being listed, with what the archive records of it.
struct PlatformSourceEntry {
    WideChar name[PLATFORM_NAME_UNITS];  // UTF-16, NUL-terminated
    uint32_t name_units;
    // False when the system's name has no UTF-16 form (POSIX: it is not
    // UTF-8); raw_name then holds its bytes, NUL-terminated, for messages.
    bool name_is_unicode;
    char raw_name[PLATFORM_NAME_BYTES];
    uint32_t error;  // not 0: the name was listed but its attributes could not be read
    uint32_t kind;   // PlatformEntryKind
    uint16_t attributes;  // the archive's attribute word
    uint64_t size;        // content length of a file, 0 for anything else
    uint64_t creation_time, write_time, access_time;  // FILETIMEs
};

// Opens SOURCE_DIR: POSIX by the argument as typed, Windows by its full
// path. Fails, with the last error set, when it is not a readable directory.
PlatformHandle platform_open_source_root(const char* argument, const WideChar* path);
// Opens a child directory for listing, without following a link and without
// moving its access time where the system allows.
PlatformHandle platform_open_source_directory(PlatformHandle parent, const WideChar* name, const WideChar* path);
// Lists one directory at a time: begin, then next until it returns 0.
bool platform_list_begin(PlatformHandle directory, const WideChar* path);
// 1: an entry ("." and ".." are left out); 0: the end; -1: failed (last error).
int platform_list_next(PlatformSourceEntry* out);
void platform_list_end();
// Opens a source file for reading so that reading it does not move its
// access time, where the system allows that. POSIX does not follow a link
// that took the file's place since it was listed.
PlatformHandle platform_open_source_file(PlatformHandle parent, const WideChar* name, const WideChar* path);
// Reads up to count bytes; returns the count read. *error is 0 when a short
// count means the end of the file, the system's error otherwise.
uint32_t platform_read_source(PlatformHandle handle, void* buffer, uint32_t count, uint32_t* error);
// What tells one file from another: the same pair means the same file.
bool platform_file_identity(PlatformHandle handle, uint64_t* volume, uint64_t* index);
// Like platform_copy_in_kernel, by the system's other in-kernel copy
// (sendfile); -1 when it has none for these two files.
int64_t platform_send_file(PlatformHandle from, PlatformHandle to, uint64_t count);
// Creates a file that must not exist yet, for writing.
PlatformHandle platform_create_new_file(const WideChar* path);
// Renames a closed file, replacing whatever file `to` names, in one step.
bool platform_replace_file(const WideChar* from, const WideChar* to);
bool platform_delete_file(const WideChar* path);
uint32_t platform_process_id();
// The separator a user of this system expects between the names of a path.
char platform_path_separator();

#endif
