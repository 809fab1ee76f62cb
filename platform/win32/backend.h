// What the files of the Win32 backend share: the system call table and
// handles. Only files of platform/win32/ include this.
#ifndef UNTREE_PLATFORM_WIN32_BACKEND_H
#define UNTREE_PLATFORM_WIN32_BACKEND_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdint.h>
#include <windows.h>

#include "platform/platform.h"

// --- The system call table ---------------------------------------------------
// Every call of the backend goes through it, so a test can make the nth one
// fail (platform_inject_fault).

enum SyscallId {
    SYS_CREATEFILEW,
    SYS_READFILE,
    SYS_WRITEFILE,
    SYS_SETFILEPOINTER,
    SYS_GETFILESIZEEX,
    SYS_NTCREATEFILE,
    SYS_GETFILEATTRIBUTESW,
    SYS_SETFILETIME,
    SYS_SETFILEINFORMATIONBYHANDLE,
    SYS_GETFILEINFORMATIONBYHANDLE,
    SYS_GETFILEINFORMATIONBYHANDLEEX,
    SYS_GETFILETYPE,
    SYS_NTQUERYINFORMATIONFILE,
    SYS_FINDFIRSTFILEEXW,
    SYS_FINDNEXTFILEW,
    SYS_CLOSEHANDLE,
    // packing
    SYS_MOVEFILEEXW,
    SYS_DELETEFILEW,
    SYS_REPLACEFILEW,
    SYS_FLUSHFILEBUFFERS,
    // the console
    SYS_WRITECONSOLEW,
    // symbolic links
    SYS_CREATESYMBOLICLINKW,
    SYS_COUNT
};

struct SyscallSlot {
    const char* name;
    uint32_t countdown;  // fails when this reaches 0 from 1; 0 means no fault
    uint32_t error;
};

extern SyscallSlot g_syscalls[SYS_COUNT];

inline bool injected(SyscallId id) {
    SyscallSlot* s = &g_syscalls[id];
    if (s->countdown == 0 || --s->countdown != 0) return false;
    SetLastError(s->error);
    return true;
}

// --- Handles -----------------------------------------------------------------
// INVALID_HANDLE_VALUE and null both become "none".

inline PlatformHandle to_handle(HANDLE h) {
    return (h == INVALID_HANDLE_VALUE || h == NULL) ? (PlatformHandle)PLATFORM_NO_HANDLE : (PlatformHandle)h;
}
inline HANDLE to_win(PlatformHandle h) { return (HANDLE)h; }

// --- File identity -------------------------------------------------------------
// What platform_file_identity tells, taken from a description already at hand.

inline uint64_t file_volume(const BY_HANDLE_FILE_INFORMATION& info) { return info.dwVolumeSerialNumber; }
inline uint64_t file_index(const BY_HANDLE_FILE_INFORMATION& info) {
    return ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}
inline bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return file_volume(a) == file_volume(b) && file_index(a) == file_index(b);
}

// --- Times ---------------------------------------------------------------------

inline uint64_t filetime_value(const FILETIME& f) { return ((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime; }

// --- Where a name led (tree_write.cpp) ----------------------------------------
// Whether `child`, opened as `name` inside `parent`, is really there and not
// where a link led: Wine opens the target of a Unix symbolic link whatever
// the flags say, and only the final paths tell.
bool opened_in_place(HANDLE parent, HANDLE child, const WideChar* name);

// --- The packer's output (tree_write.cpp) -------------------------------------
// Kept where the console control handler (process.cpp) can reach it: the
// handler runs on a thread of its own and deletes the temporary file, which
// is opened with FILE_SHARE_DELETE for that. Until it is whole it is marked
// for deletion, so that the system removes it with the last handle, however
// the process ends.

struct OutputFile {
    WCHAR final_path[PLATFORM_WIDE_PATH_UNITS];  // ARCHIVE, or the final target of a link there
    WCHAR temporary[PLATFORM_WIDE_PATH_UNITS];   // beside it
    volatile LONG temporary_exists;
    HANDLE temporary_handle;  // while it is written
    bool standard;            // the process's standard output: never closed
    bool replacing;           // ReplaceFileW keeps the replaced file's attributes and security
};

extern OutputFile g_output;
void remove_output_temporary();
// The temporary file, opened anew, when `path` names it: marked for deletion,
// it can be opened by no one else, the walk over a source that holds it
// included. NULL otherwise.
HANDLE reopen_output_temporary(const WideChar* path);

// CreateFileW through the table.
HANDLE create_file(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

#endif
