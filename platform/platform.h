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
// What platform_open_read leaves when it refuses a pipe, FIFO, socket,
// device or console: something with no end to read from.
uint32_t platform_error_not_a_file();

// What the tree-writing calls refuse on their own account, where the system
// itself would have gone ahead. The codes lie where no system puts its own
// (Windows leaves bit 29 to applications); the report gives them their text.
enum PlatformRefusal {
    PLATFORM_REFUSED_LINK = 0x20000001,  // a link or junction stands there: not followed
    PLATFORM_REFUSED_NOT_REGULAR,        // a FIFO, socket or device stands there
    PLATFORM_REFUSED_ARCHIVE,            // it is the archive being read
    PLATFORM_REFUSED_NEWER,              // kept: its last write is later than the one to be set
};

// What platform_create_file does with a regular file already standing where
// it makes one, the user's choice; flags. Anything but a regular file there
// is refused whatever they say.
enum ExistingFileRule {
    EXISTING_REPLACED = 0,            // replaced, unless it is read-only (access denied)
    EXISTING_KEPT = 1,                // never replaced: the already-exists error
    EXISTING_KEPT_IF_NEWER = 2,       // kept when written after the entry's time: PLATFORM_REFUSED_NEWER
    EXISTING_READ_ONLY_REPLACED = 4,  // a read-only one is replaced too, as any other
};

// --- Process -------------------------------------------------------------
// The program's arguments as UTF-8 (Windows: taken from the wide command line
// so nothing is lost to a code page; POSIX: the bytes as given). Allocated
// once at start and never freed.
void platform_arguments(int argc, char** argv, int* out_argc, char*** out_argv);
// Keeps a write that cannot be made from ending the process (POSIX: SIGPIPE
// from a reader that went away, SIGXFSZ at a file size limit are ignored):
// the write fails with the system's error instead, and the run goes on.
void platform_init_process();
// Puts the standard streams in the mode the console conventions ask for.
// A standard stream closed at start is opened on the null device, so that no
// file opened later takes its place and receives what is meant for it.
// Returns the error that makes standard output unusable from the start (it
// was closed), 0 when it is open.
uint32_t platform_init_console();
// Whether a standard stream is a terminal (Windows: a console), which shows
// what it is given rather than keep it.
bool platform_is_terminal(FILE* stream);
// Whether a terminal takes its text as UTF-16 (a Windows console, written
// with WriteConsoleW) rather than as bytes.
bool platform_terminal_takes_utf16();
// Writes UTF-16 text to a terminal stream at once; false when it failed.
bool platform_write_terminal(FILE* stream, const WideChar* text, uint32_t units);
// The columns of a terminal stream's rows (a console's buffer width); 0 when
// the system does not say.
uint32_t platform_terminal_width(FILE* stream);
// Blanks the row of a terminal stream the cursor is on and puts the cursor at
// its start.
void platform_terminal_clear_row(FILE* stream);
// The system's error behind a write to a standard stream that just failed.
uint32_t platform_output_error();
// Gives up a standard stream after a failed write: what the C library still
// holds for it is dropped, so nothing tries to write it again, not at exit.
void platform_discard_output(FILE* stream);
// As many open handles as the system grants this process: the extractor
// holds one per directory level it is in.
void platform_raise_handle_limit();
// The process's standard output as a handle for platform_write, whatever it
// is (a terminal too): for contents written there as they are.
PlatformHandle platform_standard_output();

// --- Archive reading -----------------------------------------------------
// Opens an existing regular file for reading, sharing read, write and
// delete. Anything that cannot be read from its end by several handles at
// once (a directory, a pipe or FIFO, a socket, a device) is refused.
PlatformHandle platform_open_read(const char* utf8_path);
// Reads up to count bytes; returns the count read. *error is 0 when a short
// count means the end of the file, the system's error otherwise.
uint32_t platform_read(PlatformHandle handle, void* buffer, uint32_t count, uint32_t* error);
// Moves to `distance` bytes from the end of the file (negative: before it).
// Fails, leaving the position unchanged, when that lands before the start.
bool platform_seek_from_end(PlatformHandle handle, int64_t distance);
// Moves forward by `distance` bytes from the current position.
bool platform_skip_forward(PlatformHandle handle, uint64_t distance);
// Length of an open file, 0 when unknown.
uint64_t platform_file_size(PlatformHandle handle);
// False, with the last error, when the system reports a failure: for a file
// just written, a write it could not make after all (NFS, a full quota).
bool platform_close(PlatformHandle handle);

// --- Tree writing --------------------------------------------------------
// The extractor writes below one destination root, which it opens once and
// holds for the run. Below it, every directory and file is made or opened
// through its parent's handle and its own name (UTF-16, NUL-terminated, one
// component), never through a path: whatever another process renames or
// swaps in the tree meanwhile, nothing is written outside it, and a link
// already standing where an entry goes is never followed.

// Opens the destination root; a link there is followed, since the user named
// it. POSIX opens the argument as typed, as the kernel means it (a ".."
// after a link leaves the link's target, not the link); Windows opens the
// full path `root`, by its own rules for "..". `archive` is the archive
// being read: no tree-writing call writes it.
PlatformHandle platform_open_tree(const char* argument, const WideChar* root, PlatformHandle archive);

enum DirectoryResult {
    DIRECTORY_CREATED,       // made by this call and held in *out
    DIRECTORY_CREATED_BARE,  // the same, but its attribute word could not be set (last error)
    DIRECTORY_EXISTING,      // a directory was there already: held in *out only as a way in
    DIRECTORY_NOT_MADE,      // it could not be made and is not there (last error)
    DIRECTORY_REFUSED,       // there, but it must not or cannot be entered (last error)
};
// A directory made with the attribute word given, or the one already there.
// `ours`: one this run made, listed again in the archive; the one there is
// then held with the right to set its times, as a new one is.
DirectoryResult platform_enter_directory(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                         bool ours, PlatformHandle* out);
// Opens a file for writing, empty. A new file is created. Of what stands there
// already, only a regular file is replaced, and never the archive or a
// read-only file (the access-denied error). It is
// replaced by a new file under this name, never written in place: what is
// left there has what any new file gets (permissions, owner, ACL, extended
// attributes), none of the old file's, and the old file's other names keep
// their content. Anything else is refused (PlatformRefusal). The attribute
// word is the one platform_stamp_file will be given: where a new file can be
// made read-only at once, it is. `existing` (ExistingFileRule) may keep more
// of what stands there; `write_time` is the entry's last-write FILETIME,
// which EXISTING_KEPT_IF_NEWER compares with the file's. `*mode` holds the
// permission bits the file is to end with, or -1: where the new file can be
// made with exactly those at once, it is, and *mode becomes -1, so that no
// platform_set_permissions is needed for them.
PlatformHandle platform_create_file(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                    int32_t* mode, uint32_t existing, uint64_t write_time);
// Writes count bytes; returns the count written (0 on no handle).
uint32_t platform_write(PlatformHandle handle, const void* buffer, uint32_t count);
// Copies count bytes from the current position of `from` to the current
// position of `to` inside the kernel. Returns the count copied, or -1 when the
// platform has no such copy for these two files (nothing was transferred).
// A short count with the last error set means the destination refused more.
int64_t platform_copy_in_kernel(PlatformHandle from, PlatformHandle to, uint64_t count);
// Sets creation, last access and last write time (FILETIMEs); 0 leaves a
// time unchanged. False, with the last error, when the system refused.
bool platform_set_times(PlatformHandle handle, uint64_t creation, uint64_t access, uint64_t write);
enum StampResult {
    STAMP_DONE,
    STAMP_TIMES_FAILED,       // the times could not be set (last error)
    STAMP_ATTRIBUTES_FAILED,  // the attribute word could not be set (last error), nor the
                              // times where one call sets both (Windows)
};
// A written file's times, then its attribute word, through its handle
// before it is closed.
StampResult platform_stamp_file(PlatformHandle handle, uint64_t creation, uint64_t access, uint64_t write,
                                uint32_t attributes);
// Which of an archived entry's permission bits (07777) the extractor gives
// it: POSIX all but the set-id bits for root, and also less the umask for
// anyone else; 0 where the system keeps no such bits (Windows).
uint32_t platform_permission_mask();
// Sets the permission bits of what the handle holds open; true where the
// system keeps none.
bool platform_set_permissions(PlatformHandle handle, uint32_t mode);
// Makes a symbolic link `name` in `parent` (`path` its full path) that
// holds `target` as it stands, never following anything, and gives it the
// times (0: left). What stands there already is dealt with as
// platform_create_file deals with it (`existing`: an ExistingFileRule), a
// link there counting as a file. False, with the last error, when the
// system refuses, the rule keeps what is there, or the system makes no links.
bool platform_make_link(PlatformHandle parent, const WideChar* name, const WideChar* path, const char* target,
                        uint32_t length, uint32_t existing, uint64_t access, uint64_t write);

// --- Errors --------------------------------------------------------------
// The error left by the last failed operation; read it before anything else.
uint32_t platform_last_error();
// The system's own text for an error code, in the console's code page, into
// out (NUL-terminated). Returns its length; 0 when the system has none.
uint32_t platform_error_text(uint32_t code, char* out, uint32_t capacity);
// The same text in UTF-16, for a terminal that takes it so; the units
// written without the terminator, 0 when the system has none.
uint32_t platform_error_text_utf16(uint32_t code, WideChar* out, uint32_t capacity);

// --- Text ----------------------------------------------------------------
// A command-line argument (UTF-8) to UTF-16, terminator included. Returns the
// units written including the terminator, 0 on failure. POSIX carries bytes
// that are not UTF-8 as escaped units (platform_escaped_byte_base).
uint32_t platform_argument_to_wide(const char* text, WideChar* out, uint32_t capacity);
// Absolute, normalised form of a path. Returns its length without the
// terminator, 0 on failure, or the capacity it would need when larger.
uint32_t platform_full_path(const WideChar* path, WideChar* out, uint32_t capacity);
// The separator the platform's full paths may not contain besides its own
// (POSIX: a backslash would be read back as a separator); 0 when none.
WideChar platform_foreign_separator();
// Whether names follow Windows' own rules (windows_name_faults): a dot or a
// blank at the end is dropped, a device name opens the device. The
// extractor refuses such names where they do; Linux keeps them as they are.
bool platform_windows_names();
// Whether the file system takes two names that differ only in case for one
// (Windows); then platform_upcase_name gives the form it compares, by the
// system's own upper-case table.
bool platform_names_ignore_case();
void platform_upcase_name(const WideChar* name, uint32_t units, WideChar* out);
// Where the system's bytes that are no UTF-8 go in the UTF-16 of arguments
// and full paths: byte b (0x80 to 0xFF) as the lone unit base + b. 0 when the
// system's text is UTF-16 already (Windows).
WideChar platform_escaped_byte_base();

// --- Time ----------------------------------------------------------------
uint32_t platform_tick_count();     // milliseconds, wrapping
uint64_t platform_cycle_counter();  // processor cycles, or a counter of similar rate

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

// What tells whether a file changed: compared before and after reading it.
// The times are the system's own stamps, only ever compared with each other.
struct PlatformFileState {
    uint64_t size;
    uint64_t write_stamp;
    uint64_t change_stamp;
    bool change_known;  // false: the listing had no change time (Windows)
};

// Bits of PlatformSourceEntry::time_faults: a time an archive cannot hold
// was stored as the nearest one it can.
enum { PLATFORM_TIME_TOO_EARLY = 1,
       PLATFORM_TIME_TOO_LATE = 2 };

// One child of a directory being listed, with what the archive records of it.
struct PlatformSourceEntry {
    // UTF-16, NUL-terminated. A POSIX name that is not UTF-8 has each byte
    // that is not part of a valid sequence as a lone surrogate U+DC80-U+DCFF,
    // so that it still sorts and can be shown.
    WideChar name[PLATFORM_NAME_UNITS];
    uint32_t name_units;
    bool name_is_unicode;                             // false: the name has no true UTF-16 form
    uint32_t error;                                   // not 0: the name was listed but its attributes could not be read
    uint32_t kind;                                    // PlatformEntryKind
    uint16_t attributes;                              // the archive's attribute word
    uint32_t mode;                                    // permission bits (07777); only where mode_known
    bool mode_known;                                  // false where the system keeps none (Windows)
    uint64_t size;                                    // content length of a file, 0 for anything else
    uint64_t creation_time, write_time, access_time;  // FILETIMEs
    uint32_t time_faults;
    PlatformFileState state;
    bool identity_known;  // the listing told volume and index (POSIX)
    uint64_t volume, index;
};

// Opens SOURCE_DIR: POSIX by the argument as typed, Windows by its full
// path. Fails, with the last error set, when it is not a readable directory.
PlatformHandle platform_open_source_root(const char* argument, const WideChar* path);
// Opens a child directory for listing, without following a link and without
// moving its access time where the system allows. What it opened may turn
// out to be something else than the listing said (Wine lists a Unix link as
// what it leads to): then no handle, and *found says what it is
// (PlatformEntryKind: a link, a FIFO, a device).
PlatformHandle platform_open_source_directory(PlatformHandle parent, const WideChar* name, const WideChar* path,
                                              uint32_t* found);
// Lists one directory at a time: begin, then next until it returns 0.
bool platform_list_begin(PlatformHandle directory, const WideChar* path);
// 1: an entry ("." and ".." are left out); 0: the end; -1: failed (last error).
int platform_list_next(PlatformSourceEntry* out);
void platform_list_end();
// Opens a source file for reading so that reading it does not move its
// access time, where the system allows that. POSIX does not follow a link
// that took the file's place since it was listed.
// *found as for a directory.
PlatformHandle platform_open_source_file(PlatformHandle parent, const WideChar* name, const WideChar* path,
                                         uint32_t* found);
// The target of a symbolic link, as bytes, into out (no terminator).
// Returns its length, -1 with the last error when the system refused or
// the target is longer than capacity, or -2 where links are not read
// (Windows: the listing's links and junctions stay apart).
int32_t platform_read_link(PlatformHandle parent, const WideChar* name, const WideChar* path, char* out,
                           uint32_t capacity);
// A source file is read with platform_read.
// Closes a source file once it has been read; the POSIX backend closes
// consecutive descriptors together, in one call.
void platform_release_source(PlatformHandle handle);
// Closes every source file still held by platform_release_source.
void platform_release_sources();
// The state of an open file now.
bool platform_file_state(PlatformHandle handle, PlatformFileState* out);
// What tells one file from another: the same pair means the same file.
bool platform_file_identity(PlatformHandle handle, uint64_t* volume, uint64_t* index);
// Like platform_copy_in_kernel, by the system's other in-kernel copy
// (sendfile); -1 when it has none for these two files.
int64_t platform_send_file(PlatformHandle from, PlatformHandle to, uint64_t count);

// --- The packer's output -------------------------------------------------------
// ARCHIVE as the system finds it: a file that is missing or regular is written
// as a new temporary file beside it (beside the final target of a symbolic
// link) and renamed over it at the end; anything else that can be written (a
// device, a FIFO) is written straight.
enum PlatformTargetKind {
    PLATFORM_TARGET_NEW,        // nothing there yet: a temporary file, renamed
    PLATFORM_TARGET_REPLACED,   // a regular file: the same, with its permissions kept
    PLATFORM_TARGET_STREAM,     // written straight, never replaced
    PLATFORM_TARGET_DIRECTORY,  // refused
};

struct PlatformTarget {
    uint32_t kind;  // PlatformTargetKind
    // Files the walk leaves out: the one standing at ARCHIVE and the
    // temporary file.
    uint32_t left_out;
    uint64_t volume[2], index[2];
};

// Opens ARCHIVE for writing by these rules: POSIX by the argument as typed,
// as the kernel means it, Windows by its full path. What is, or leads to, a
// pipe, FIFO, socket or device is a stream. An existing regular file the
// user may not write to is refused with the system's error. The temporary
// file has no name where the system allows (POSIX O_TMPFILE), and is deleted
// when its handle closes (Windows) until it is in place: whatever ends the
// process, nothing is left. Where it needs a name, that is the archive's,
// shortened to fit the system's limit, with ".partial-PID" after it.
PlatformHandle platform_output_open(const char* argument, const WideChar* path, PlatformTarget* target);
// The process's standard output as the archive; refused (no handle) on a
// terminal, and when it was closed before platform_init_console.
PlatformHandle platform_output_standard(PlatformTarget* target);
// The step at which platform_output_commit failed; the last error says why.
enum PlatformCommit {
    PLATFORM_COMMIT_DONE,         // in place, and on the disk
    PLATFORM_COMMIT_WRITE,        // it could not be finished or put in place
    PLATFORM_COMMIT_PERMISSIONS,  // the replaced file's owner, group or permissions could not be given to it
    PLATFORM_COMMIT_FLUSH,        // its content could not be put on the disk
    PLATFORM_COMMIT_DIRECTORY,    // in place, but its new name may not survive a power cut
};
// Finishes the output: a temporary file gets the replaced file's permissions
// (and owner and group where the process may set them), its content is put
// on the disk, it takes ARCHIVE's place, and that change is put on the disk
// too. A stream is closed, never flushed. Returns a PlatformCommit; before
// PLATFORM_COMMIT_DIRECTORY, the temporary file is gone and ARCHIVE is as
// it was.
uint32_t platform_output_commit(PlatformHandle handle);
// Closes the output and removes a temporary file. False, with the last
// error, when that file could not be removed.
bool platform_output_discard(PlatformHandle handle);
// The temporary file's name, to tell the user about one left behind.
uint32_t platform_output_temporary_name(char* out, uint32_t capacity);
// From here on every signal that would end the process (POSIX: SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, ...; Windows: Ctrl-C,
// Ctrl-Break and closing the console) removes a named temporary file and
// ends the process as the signal would have; SIGPIPE and SIGXFSZ are
// ignored, so that a write they would have stopped fails and is reported.
void platform_catch_interruptions();

uint32_t platform_process_id();
// The separator a user of this system expects between the names of a path.
char platform_path_separator();

#endif
