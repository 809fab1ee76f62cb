// Writing the tree: directories and files made, filled and stamped through
// the directories held open, and the packer's own output file.
//
// Below the root, every name is opened by NtCreateFile with the parent's
// handle as its root directory and the name alone as the object name, so no
// path is looked up again: a directory renamed or swapped for a junction
// after it was opened cannot redirect what goes inside. Names arrive as the
// extractor built them and the system gets them unchanged, as with the
// long-path prefix.
//
// Every directory of the walk, the root too, is held without
// FILE_SHARE_DELETE: while it is held nobody can open it for the delete
// access a rename takes, so it can be neither moved aside nor replaced by a
// link until the walk has left it. Nothing else needs to rename them while
// the run goes on. Files are shared for delete: replacing one with other
// names opens it for delete while it is still looked at.
#include "platform/win32/backend.h"

// After windows.h, which they need.
#include <string.h>
#include <wchar.h>
#include <winternl.h>

static const ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
static const ULONG SHARE_HELD = FILE_SHARE_READ | FILE_SHARE_WRITE;  // a directory of the walk

// --- The run -------------------------------------------------------------------

// FILE_NAME_INFORMATION with room for the longest name and a terminator.
struct FileName {
    ULONG bytes;
    WCHAR units[PLATFORM_WIDE_PATH_UNITS + 1];
};

static struct {
    bool archive_known;
    uint64_t archive_volume;
    uint64_t archive_index;
    WCHAR pattern[PLATFORM_WIDE_PATH_UNITS + 3];
    WCHAR root[PLATFORM_WIDE_PATH_UNITS + 1];
    FileName parent_name;
    FileName child_name;
} g_tree;

PlatformHandle platform_open_tree(const char*, const WideChar* root, PlatformHandle archive) {
    g_tree.archive_volume = g_tree.archive_index = 0;
    g_tree.archive_known = platform_file_identity(archive, &g_tree.archive_volume, &g_tree.archive_index);
    // A drive root arrives without its backslash ("\\?\C:"), which would name
    // the volume itself.
    size_t n = wcslen((const WCHAR*)root);
    const WCHAR* path = (const WCHAR*)root;
    if (n && n + 2 <= sizeof g_tree.root / sizeof(WCHAR) && root[n - 1] == ':') {
        memcpy(g_tree.root, root, n * sizeof(WCHAR));
        g_tree.root[n] = '\\';
        g_tree.root[n + 1] = 0;
        path = g_tree.root;
    }
    HANDLE h = create_file(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, SHARE_HELD,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        bool known = !injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(h, &info);
        if (!known || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            error = known ? (DWORD)ERROR_DIRECTORY : GetLastError();
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }
    SetLastError(error);
    return to_handle(h);
}

// --- Directories ----------------------------------------------------------------

// What NtCreateFile says where the logic needs to tell.
static const NTSTATUS NAME_COLLISION = (NTSTATUS)0xC0000035;   // STATUS_OBJECT_NAME_COLLISION
static const NTSTATUS NOT_A_DIRECTORY = (NTSTATUS)0xC0000103;  // STATUS_NOT_A_DIRECTORY
static const NTSTATUS NAME_INVALID = (NTSTATUS)0xC0000033;     // STATUS_OBJECT_NAME_INVALID

static const WideChar SAME_FILE[] = {0};  // the empty name: a handle's own file, opened anew

// NtCreateFile for one name inside `parent` (an empty name opens `parent`
// itself anew), sharing what `share` allows; its status becomes the last
// error, as a Win32 call leaves it.
static HANDLE create_shared(HANDLE parent, const WideChar* name, ACCESS_MASK access, ULONG disposition, ULONG options,
                            ULONG share, NTSTATUS* status) {
    *status = NAME_INVALID;
    size_t units = wcslen((const WCHAR*)name);
    if (units > 32767 || injected(SYS_NTCREATEFILE)) {
        if (units > 32767) SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    UNICODE_STRING object;
    object.Buffer = (PWSTR)name;
    object.Length = object.MaximumLength = (USHORT)(units * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    // Case-insensitive, as every Win32 call looks names up.
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, parent, NULL);
    IO_STATUS_BLOCK io;
    HANDLE h = NULL;
    *status = NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share,
                           disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (*status < 0) {
        SetLastError(RtlNtStatusToDosError(*status));
        return NULL;
    }
    return h;
}

static HANDLE create_at(HANDLE parent, const WideChar* name, ACCESS_MASK access, ULONG disposition, ULONG options,
                        NTSTATUS* status) {
    return create_shared(parent, name, access, disposition, options, SHARE_ALL, status);
}

// The attribute bits a file or directory can be given; none at all is
// "normal".
static DWORD settable(uint32_t attributes) {
    const DWORD bits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    return (attributes & bits) ? (attributes & bits) : FILE_ATTRIBUTE_NORMAL;
}

static bool set_basic(HANDLE h, uint64_t creation, uint64_t access, uint64_t write, DWORD attributes) {
    FILE_BASIC_INFO info;
    info.CreationTime.QuadPart = (LONGLONG)creation;
    info.LastAccessTime.QuadPart = (LONGLONG)access;
    info.LastWriteTime.QuadPart = (LONGLONG)write;
    info.ChangeTime.QuadPart = 0;
    info.FileAttributes = attributes;
    return !injected(SYS_SETFILEINFORMATIONBYHANDLE) &&
           SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info);
}

// A handle's file name from its volume's root, NUL-terminated in `out`;
// its length in units, 0 when the system does not tell.
static uint32_t name_of(HANDLE h, FileName* out) {
    IO_STATUS_BLOCK io;
    if (injected(SYS_NTQUERYINFORMATIONFILE) ||
        NtQueryInformationFile(h, &io, out, sizeof *out - sizeof(WCHAR), FileNameInformation) < 0)
        return 0;
    uint32_t units = out->bytes / sizeof(WCHAR);
    out->units[units] = 0;
    return units;
}

// Whether `child`, opened or made as `name` inside `parent`, is really there
// and not somewhere a link led. Windows looks a name up inside the parent
// it is given, and opens a link itself when asked to; Wine does neither: it
// turns the parent back into the path it had when it was opened and opens
// the target of a Unix symbolic link whatever the flags say. Only the final
// paths show where a name led there (under Wine, an empty file or directory
// may be made there before it is refused). Where the system cannot tell the
// parent's, there is nothing to compare with, and Windows needs no check.
// False with the last error saying why: a link, or a path too long to tell.
bool opened_in_place(HANDLE parent, HANDLE child, const WideChar* name) {
    // The name from the volume's root: no drive letter to look up, and no
    // length limit (Wine's GetFinalPathNameByHandleW stops at MAX_PATH).
    uint32_t p = name_of(parent, &g_tree.parent_name);
    if (p == 0) return true;
    uint32_t c = name_of(child, &g_tree.child_name);
    if (c == 0) {
        // Wine makes a name whose Unix path is beyond PATH_MAX (4 KB) but
        // cannot tell it: where it went is not known.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    const WCHAR* parent_path = g_tree.parent_name.units;
    const WCHAR* child_path = g_tree.child_name.units;
    // A volume root's name is its backslash; any other ends in a name.
    if (parent_path[p - 1] == '\\') p--;
    SetLastError(PLATFORM_REFUSED_LINK);
    if (c <= p + 1 || _wcsnicmp(parent_path, child_path, p) != 0 || child_path[p] != '\\') return false;
    return CompareStringOrdinal(child_path + p + 1, (int)(c - p - 1), (const WCHAR*)name, -1, TRUE) == CSTR_EQUAL;
}

// What this run has just made where a link led it, or where the system
// cannot tell, is left as it is, empty: removing it would go by the path it
// was made through, and that may lead elsewhere by now. The last error
// stays opened_in_place's.
static void refuse_made(HANDLE made) {
    DWORD why = GetLastError();
    CloseHandle(made);
    SetLastError(why);
}

DirectoryResult platform_enter_directory(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                         bool ours, PlatformHandle* out) {
    *out = PLATFORM_NO_HANDLE;
    const ACCESS_MASK enter = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
    NTSTATUS status;
    HANDLE h = create_shared(to_win(parent), name, enter | FILE_WRITE_ATTRIBUTES, FILE_CREATE, FILE_DIRECTORY_FILE,
                             SHARE_HELD, &status);
    if (h) {
        if (!opened_in_place(to_win(parent), h, name)) {
            refuse_made(h);
            return DIRECTORY_REFUSED;
        }
        // Its attributes at once, before anything goes inside.
        bool set = set_basic(h, 0, 0, 0, settable(attributes));
        *out = to_handle(h);
        return set ? DIRECTORY_CREATED : DIRECTORY_CREATED_BARE;
    }
    if (status != NAME_COLLISION) return DIRECTORY_NOT_MADE;
    // Only a way in: opened without the right to change it, unless this run
    // made it and it gets its times once more.
    h = create_shared(to_win(parent), name, ours ? enter | FILE_WRITE_ATTRIBUTES : enter, FILE_OPEN,
                      FILE_DIRECTORY_FILE, SHARE_HELD, &status);
    if (!h) {
        if (status != NOT_A_DIRECTORY) return DIRECTORY_REFUSED;
        SetLastError(ERROR_ALREADY_EXISTS);  // a file stands there: what goes inside cannot be made
        return DIRECTORY_NOT_MADE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    DWORD refusal = 0;
    if (injected(SYS_GETFILEINFORMATIONBYHANDLE) || !GetFileInformationByHandle(h, &info)) refusal = GetLastError();
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) refusal = PLATFORM_REFUSED_LINK;
    else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) refusal = PLATFORM_REFUSED_NOT_REGULAR;
    else if (!opened_in_place(to_win(parent), h, name)) refusal = GetLastError();
    if (refusal) {
        CloseHandle(h);
        SetLastError(refusal);
        return DIRECTORY_REFUSED;
    }
    *out = to_handle(h);
    return DIRECTORY_EXISTING;
}

// --- Files ----------------------------------------------------------------------


enum FileVerdict { FILE_REPLACE,
                   FILE_REFUSED };

// What may be done with the file `h` (opened to look at, as `name` inside
// `parent`, and described in `info`; `existing` an ExistingFileRule); the
// last error says why not.
static FileVerdict judge(HANDLE parent, HANDLE h, const WideChar* name, BY_HANDLE_FILE_INFORMATION& info,
                         uint32_t existing, uint64_t write_time) {
    FILE_BASIC_INFO basic;
    DWORD refusal = 0;
    // Hidden and system files are kept, as a Windows program creating the
    // file over them would be refused; read-only ones too, whatever our
    // privileges, unless the user says otherwise.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (injected(SYS_GETFILETYPE) || GetFileType(h) != FILE_TYPE_DISK) refusal = PLATFORM_REFUSED_NOT_REGULAR;
    else if (injected(SYS_GETFILEINFORMATIONBYHANDLE) || !GetFileInformationByHandle(h, &info))
        refusal = GetLastError();
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) refusal = PLATFORM_REFUSED_LINK;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) refusal = ERROR_ACCESS_DENIED;
    else if (g_tree.archive_known && file_volume(info) == g_tree.archive_volume &&
             file_index(info) == g_tree.archive_index)
        refusal = PLATFORM_REFUSED_ARCHIVE;
    else if (!opened_in_place(parent, h, name)) refusal = GetLastError();
    else if (existing == EXISTING_REPLACED && (info.dwFileAttributes & (kept | FILE_ATTRIBUTE_READONLY)))
        refusal = ERROR_ACCESS_DENIED;
    else if (injected(SYS_GETFILEINFORMATIONBYHANDLEEX) ||
             !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        refusal = GetLastError();
    else if (existing & EXISTING_KEPT) refusal = ERROR_ALREADY_EXISTS;
    else if ((existing & EXISTING_KEPT_IF_NEWER) && (uint64_t)basic.LastWriteTime.QuadPart > write_time)
        refusal = PLATFORM_REFUSED_NEWER;
    else if ((info.dwFileAttributes & kept) ||
             ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && !(existing & EXISTING_READ_ONLY_REPLACED)))
        refusal = ERROR_ACCESS_DENIED;
    if (refusal) {
        SetLastError(refusal);
        return FILE_REFUSED;
    }
    return FILE_REPLACE;
}

static HANDLE create_new(HANDLE parent, const WideChar* name, NTSTATUS* status) {
    return create_at(parent, name, GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, status);
}

// The file `seen` (`name` inside `parent`, described in `info`) opened anew
// with `access`. Windows opens that very file; Wine goes by its path again,
// which another process may have pointed elsewhere meanwhile (even at
// another name of the same file): what it opened must be that file, there.
static HANDLE reopen(HANDLE parent, const WideChar* name, HANDLE seen, const BY_HANDLE_FILE_INFORMATION& info,
                     ACCESS_MASK access) {
    NTSTATUS status;
    HANDLE h = create_at(seen, SAME_FILE, access, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &status);
    BY_HANDLE_FILE_INFORMATION now;
    if (!h) return NULL;
    DWORD why = PLATFORM_REFUSED_LINK;
    if (!injected(SYS_GETFILEINFORMATIONBYHANDLE) && GetFileInformationByHandle(h, &now) && same_file(now, info)) {
        if (opened_in_place(parent, h, name)) return h;
        why = GetLastError();
    }
    CloseHandle(h);
    SetLastError(why);
    return NULL;
}

PlatformHandle platform_create_file(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                    int32_t* mode, uint32_t existing, uint64_t write_time) {
    (void)attributes;  // set with the times, in one call, by platform_stamp_file
    (void)mode;        // a Windows file keeps no permission bits
    // Exclusive first: a new file costs one call, and only an existing one is
    // looked at, through a handle that can do nothing but read attributes:
    // neither a device's data nor a pipe is opened.
    NTSTATUS status;
    HANDLE h = create_new(to_win(parent), name, &status);
    if (h && !opened_in_place(to_win(parent), h, name)) {
        refuse_made(h);
        return PLATFORM_NO_HANDLE;
    }
    if (h || status != NAME_COLLISION) return to_handle(h);
    HANDLE seen = create_at(to_win(parent), name, FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &status);
    if (!seen) return PLATFORM_NO_HANDLE;
    // Cleared: a call that failed without an error code would otherwise
    // leave it unread garbage for the comparison in reopen.
    BY_HANDLE_FILE_INFORMATION info = {};
    FileVerdict verdict = judge(to_win(parent), seen, name, info, existing, write_time);
    DWORD error = GetLastError();
    if (verdict == FILE_REPLACE) {
        // Never written in place: the file there would keep its owner, its
        // ACL, its alternate streams and extended attributes, and its other
        // names would get the content. This name gets a new file, once the
        // old one is gone (when the handle deleting it closes).
        FILE_DISPOSITION_INFO gone;
        gone.DeleteFile = TRUE;
        // A read-only file (replaced only when the user asked) cannot be
        // deleted as it is: its read-only bit goes first.
        DWORD read_only = info.dwFileAttributes & FILE_ATTRIBUTE_READONLY;
        HANDLE d = reopen(to_win(parent), name, seen, info, read_only ? DELETE | FILE_WRITE_ATTRIBUTES : DELETE);
        bool writable = d && (!read_only || set_basic(d, 0, 0, 0, settable(info.dwFileAttributes & ~read_only)));
        bool deleted = writable && !injected(SYS_SETFILEINFORMATIONBYHANDLE) &&
                       SetFileInformationByHandle(d, FileDispositionInfo, &gone, sizeof gone);
        error = GetLastError();
        if (d) CloseHandle(d);
        if (deleted) {
            CloseHandle(seen);
            h = create_new(to_win(parent), name, &status);
            if (h && !opened_in_place(to_win(parent), h, name)) {
                refuse_made(h);
                return PLATFORM_NO_HANDLE;
            }
            return to_handle(h);
        }
    }
    CloseHandle(seen);
    SetLastError(error);
    return to_handle(h);
}

uint32_t platform_write(PlatformHandle h, const void* buffer, uint32_t count) {
    DWORD n = 0;
    if (h == PLATFORM_NO_HANDLE || injected(SYS_WRITEFILE)) return 0;
    WriteFile(to_win(h), buffer, count, &n, NULL);
    return n;
}

int64_t platform_copy_in_kernel(PlatformHandle, PlatformHandle, uint64_t) {
    return -1;  // no such copy between two open handles; the window serves
}

static FILETIME to_filetime(uint64_t t) {
    FILETIME f;
    f.dwLowDateTime = (DWORD)t;
    f.dwHighDateTime = (DWORD)(t >> 32);
    return f;
}

bool platform_set_times(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write) {
    if (h == PLATFORM_NO_HANDLE || (creation == 0 && access == 0 && write == 0)) return true;
    if (injected(SYS_SETFILETIME)) return false;
    FILETIME c = to_filetime(creation), a = to_filetime(access), w = to_filetime(write);
    return SetFileTime(to_win(h), &c, &a, &w);
}

StampResult platform_stamp_file(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write,
                                uint32_t attributes) {
    if (h == PLATFORM_NO_HANDLE || set_basic(to_win(h), creation, access, write, settable(attributes)))
        return STAMP_DONE;
    return STAMP_ATTRIBUTES_FAILED;
}

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

uint32_t platform_permission_mask() {
    return 0;  // the attribute word is all a Windows file keeps
}

bool platform_set_permissions(PlatformHandle, uint32_t) {
    return true;
}

bool platform_make_link(PlatformHandle, const WideChar*, const WideChar* path, const char* target, uint32_t length,
                        uint32_t existing, uint64_t access, uint64_t write) {
    // The system makes a link only where nothing stands: whatever the rule,
    // what is there stays, with the already-exists error the rules for
    // keeping files expect.
    (void)existing;
    static WCHAR wide[PLATFORM_WIDE_PATH_UNITS];
    int n = length ? MultiByteToWideChar(CP_UTF8, 0, target, (int)length, wide, PLATFORM_WIDE_PATH_UNITS - 1) : 0;
    if (length && n == 0) return false;
    // A link made on Linux separates with slashes; Windows resolves
    // backslashes only.
    for (int i = 0; i < n; i++)
        if (wide[i] == '/') wide[i] = '\\';
    wide[n] = 0;
    if (injected(SYS_CREATESYMBOLICLINKW) ||
        !CreateSymbolicLinkW((LPCWSTR)path, wide, SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return false;
    if (access == 0 && write == 0) return true;
    HANDLE h = CreateFileW((LPCWSTR)path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME a = to_filetime(access), w = to_filetime(write);
    bool set = SetFileTime(h, NULL, access ? &a : NULL, write ? &w : NULL);
    CloseHandle(h);
    return set;
}

// --- The packer's output -------------------------------------------------------
// An existing ARCHIVE is opened for writing first: that is the system's own
// test of whether the user may write it, tells a device from a file, and
// leads through links to the file that gets replaced.

OutputFile g_output;

void remove_output_temporary() {
    if (g_output.temporary_exists) DeleteFileW(g_output.temporary);
}

static void forget_output() {
    g_output.temporary_exists = 0;
    g_output.temporary_handle = NULL;
    g_output.standard = false;
    g_output.replacing = false;
    g_output.temporary[0] = 0;
}

// The temporary file's path: ARCHIVE's final path with its name cut (never
// between the two halves of a surrogate pair) so that the suffix fits 255
// units.
static bool temporary_path(uint32_t attempt) {
    WCHAR suffix[40];
    if (attempt == 0) wsprintfW(suffix, L".partial-%u", (unsigned)GetCurrentProcessId());
    else wsprintfW(suffix, L".partial-%u-%u", (unsigned)GetCurrentProcessId(), (unsigned)attempt);
    size_t length = wcslen(g_output.final_path), suffix_length = wcslen(suffix);
    size_t name = length;
    while (name > 0 && g_output.final_path[name - 1] != '\\' && g_output.final_path[name - 1] != '/') name--;
    size_t keep = length - name, room = 255 - suffix_length;
    if (keep > room) {
        keep = room;
        if (g_output.final_path[name + keep] >= 0xDC00 && g_output.final_path[name + keep] <= 0xDFFF) keep--;
    }
    if (name + keep + suffix_length + 1 > PLATFORM_WIDE_PATH_UNITS) return false;
    memcpy(g_output.temporary, g_output.final_path, (name + keep) * sizeof(WCHAR));
    memcpy(g_output.temporary + name + keep, suffix, (suffix_length + 1) * sizeof(WCHAR));
    return true;
}

HANDLE reopen_output_temporary(const WideChar* path) {
    HANDLE copy = NULL;
    if (!g_output.temporary_exists || !g_output.temporary_handle ||
        CompareStringOrdinal((const WCHAR*)path, -1, g_output.temporary, -1, TRUE) != CSTR_EQUAL ||
        !DuplicateHandle(GetCurrentProcess(), g_output.temporary_handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return NULL;
    return copy;
}

static bool mark_for_deletion(HANDLE h, bool deleted) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = deleted;
    return !injected(SYS_SETFILEINFORMATIONBYHANDLE) &&
           SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

PlatformHandle platform_output_open(const char*, const WideChar* path, PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    forget_output();
    size_t n = wcslen((const WCHAR*)path);
    if (n + 1 > PLATFORM_WIDE_PATH_UNITS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return PLATFORM_NO_HANDLE;
    }
    memcpy(g_output.final_path, path, (n + 1) * sizeof(WCHAR));
    DWORD a = injected(SYS_GETFILEATTRIBUTESW) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(g_output.final_path);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        target->kind = PLATFORM_TARGET_DIRECTORY;
        SetLastError(ERROR_DIRECTORY);
        return PLATFORM_NO_HANDLE;
    }
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = create_file(g_output.final_path, GENERIC_WRITE, share, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND) return PLATFORM_NO_HANDLE;
        target->kind = PLATFORM_TARGET_NEW;
    } else if (GetFileType(h) != FILE_TYPE_DISK) {
        target->kind = PLATFORM_TARGET_STREAM;  // NUL, a serial port, a named pipe
        return to_handle(h);
    } else {
        target->kind = PLATFORM_TARGET_REPLACED;
        g_output.replacing = true;
        if (platform_file_identity(to_handle(h), &target->volume[target->left_out], &target->index[target->left_out]))
            target->left_out++;
        // Through a link, the file it leads to is the one replaced.
        DWORD got = GetFinalPathNameByHandleW(h, g_output.final_path, PLATFORM_WIDE_PATH_UNITS,
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0 || got >= PLATFORM_WIDE_PATH_UNITS) memcpy(g_output.final_path, path, (n + 1) * sizeof(WCHAR));
        CloseHandle(h);
    }
    HANDLE t = INVALID_HANDLE_VALUE;
    for (uint32_t attempt = 0; attempt < 100 && t == INVALID_HANDLE_VALUE; attempt++) {
        if (!temporary_path(attempt)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return PLATFORM_NO_HANDLE;
        }
        t = create_file(g_output.temporary, GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW, 0);
        if (t == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return PLATFORM_NO_HANDLE;
    }
    if (t == INVALID_HANDLE_VALUE) return PLATFORM_NO_HANDLE;
    InterlockedExchange(&g_output.temporary_exists, 1);
    g_output.temporary_handle = t;
    // Gone with its last handle, however the process ends (under Wine a
    // SIGTERM or SIGHUP that no handler sees), until it takes ARCHIVE's place.
    if (!mark_for_deletion(t, true)) {
        DWORD e = GetLastError();
        CloseHandle(t);
        remove_output_temporary();
        InterlockedExchange(&g_output.temporary_exists, 0);
        SetLastError(e);
        return PLATFORM_NO_HANDLE;
    }
    if (platform_file_identity(to_handle(t), &target->volume[target->left_out], &target->index[target->left_out]))
        target->left_out++;
    return to_handle(t);
}

// Gives up the temporary file after a failed step: closing the handle
// deletes it while it is still marked.
static uint32_t abandon_temporary(HANDLE h, uint32_t failure) {
    DWORD e = GetLastError();
    if (h) CloseHandle(h);
    remove_output_temporary();
    forget_output();
    SetLastError(e);
    return failure;
}

uint32_t platform_output_commit(PlatformHandle h) {
    if (!g_output.temporary_exists) {
        // A stream: written as it went, never flushed.
        bool closed = g_output.standard || injected(SYS_CLOSEHANDLE) || CloseHandle(to_win(h));
        forget_output();
        return closed ? PLATFORM_COMMIT_DONE : PLATFORM_COMMIT_WRITE;
    }
    // The content on the disk before any name leads to it; then the file is
    // kept when its handle closes.
    if (injected(SYS_FLUSHFILEBUFFERS) || !FlushFileBuffers(to_win(h)))
        return abandon_temporary(to_win(h), PLATFORM_COMMIT_FLUSH);
    if (!mark_for_deletion(to_win(h), false)) return abandon_temporary(to_win(h), PLATFORM_COMMIT_WRITE);
    if (injected(SYS_CLOSEHANDLE) || !CloseHandle(to_win(h))) return abandon_temporary(NULL, PLATFORM_COMMIT_WRITE);
    // ReplaceFileW keeps the replaced file's attributes and security; a
    // file that is gone by now is simply taken the place of, and that
    // rename is on the disk when MoveFileExW returns.
    bool placed = false, written_through = false;
    if (g_output.replacing) {
        placed = !injected(SYS_REPLACEFILEW) &&
                 ReplaceFileW(g_output.final_path, g_output.temporary, NULL, REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL);
    }
    if (!placed && (!g_output.replacing || GetLastError() == ERROR_FILE_NOT_FOUND)) {
        placed = !injected(SYS_MOVEFILEEXW) &&
                 MoveFileExW(g_output.temporary, g_output.final_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        written_through = placed;
    }
    if (!placed) return abandon_temporary(NULL, PLATFORM_COMMIT_WRITE);
    InterlockedExchange(&g_output.temporary_exists, 0);
    uint32_t result = PLATFORM_COMMIT_DONE;
    if (!written_through) {
        // ReplaceFileW has no write-through of its own: the file under its
        // new name is flushed, which puts its name on the disk with it.
        HANDLE placed_file = create_file(g_output.final_path, GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0);
        if (placed_file == INVALID_HANDLE_VALUE) result = PLATFORM_COMMIT_DIRECTORY;
        else if (injected(SYS_FLUSHFILEBUFFERS) || !FlushFileBuffers(placed_file)) result = PLATFORM_COMMIT_DIRECTORY;
        DWORD e = GetLastError();
        if (placed_file != INVALID_HANDLE_VALUE) CloseHandle(placed_file);
        SetLastError(e);
    }
    DWORD e = GetLastError();
    forget_output();
    SetLastError(e);
    return result;
}

bool platform_output_discard(PlatformHandle h) {
    if (!g_output.standard && h != PLATFORM_NO_HANDLE && !injected(SYS_CLOSEHANDLE)) CloseHandle(to_win(h));
    // Still marked for deletion, it went with its handle.
    bool removed = !g_output.temporary_exists || (!injected(SYS_DELETEFILEW) && DeleteFileW(g_output.temporary)) ||
                   GetLastError() == ERROR_FILE_NOT_FOUND;
    DWORD e = GetLastError();
    if (removed) forget_output();
    SetLastError(e);
    return removed;
}

uint32_t platform_output_temporary_name(char* out, uint32_t capacity) {
    int n = WideCharToMultiByte(CP_UTF8, 0, g_output.temporary, -1, out, (int)capacity, NULL, NULL);
    return n > 1 ? (uint32_t)n - 1 : 0;
}
