/* Run beside the extractor by the end-to-end tests of the Windows build:
 * tries, as any Windows program could, to swap the directories the
 * extractor is in for links to a directory outside its destination.
 *
 *   swap_helper WAIT_FOR OUTSIDE DIR...
 *
 * It waits until WAIT_FOR exists (a file the extractor makes once it is
 * inside every DIR), then for each DIR in turn: moves it aside with
 * MoveFileExW, and by a handle opened for delete with
 * SetFileInformationByHandle(FileRenameInfo); makes a symbolic link
 * (CreateSymbolicLinkW) and a junction (FSCTL_SET_REPARSE_POINT) to OUTSIDE
 * and moves each onto DIR's name. Once DIR is moved aside, a link takes its
 * place. One line per step on standard output:
 *
 *   STEP PATH: done
 *   STEP PATH: refused ERROR
 *
 * A link that could not take DIR's name is removed again. Exit status 0,
 * or 2 when WAIT_FOR never appeared (after two minutes).
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <winioctl.h>

enum { UNITS = 1024 };

static BOOL said(const char* step, const wchar_t* path, BOOL ok) {
    if (ok) printf("%s %ls: done\n", step, path);
    else printf("%s %ls: refused %lu\n", step, path, (unsigned long)GetLastError());
    fflush(stdout);
    return ok;
}

static void joined(wchar_t* out, const wchar_t* path, const wchar_t* suffix) {
    swprintf(out, UNITS, L"%ls%ls", path, suffix);
}

/* A mount point's reparse data: tag, lengths, then the target's NT name and
 * its printed name, each terminated. */
struct MountPoint {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset, substitute_length, print_offset, print_length;
    WCHAR names[2 * UNITS + 8];
};

static BOOL make_junction(const wchar_t* path, const wchar_t* target) {
    if (!CreateDirectoryW(path, NULL)) return FALSE;
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    static struct MountPoint m;
    wchar_t full[UNITS], nt[UNITS + 8];
    DWORD n = GetFullPathNameW(target, UNITS, full, NULL);
    swprintf(nt, UNITS + 8, L"\\??\\%ls", full);
    WORD substitute = (WORD)(wcslen(nt) * sizeof(WCHAR)), print = (WORD)(n * sizeof(WCHAR));
    memset(&m, 0, sizeof m);
    m.tag = IO_REPARSE_TAG_MOUNT_POINT;
    m.substitute_offset = 0;
    m.substitute_length = substitute;
    m.print_offset = substitute + sizeof(WCHAR);
    m.print_length = print;
    memcpy(m.names, nt, substitute);
    memcpy((char*)m.names + m.print_offset, full, print);
    m.data_length = (WORD)(4 * sizeof(WORD) + m.print_offset + print + sizeof(WCHAR));
    DWORD returned;
    BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &m, 8 + m.data_length, NULL, 0, &returned, NULL);
    DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return ok;
}

/* A directory symbolic link at `path`; a call that says it made one but
 * left nothing there (Wine's) counts as refused, ERROR_CALL_NOT_IMPLEMENTED. */
static BOOL make_symlink(const wchar_t* path, const wchar_t* target) {
    DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkW(path, target, flags)) return FALSE;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return TRUE;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

/* DIR is gone from its name: a link to OUTSIDE takes it. */
static void put_link(const wchar_t* dir, const wchar_t* outside) {
    if (said("link", dir, make_symlink(dir, outside))) return;
    if (!said("junction", dir, make_junction(dir, outside))) RemoveDirectoryW(dir);
}

static BOOL rename_by_handle(const wchar_t* dir, const wchar_t* aside) {
    HANDLE h = CreateFileW(dir, DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h == INVALID_HANDLE_VALUE) return said("FileRenameInfo", dir, FALSE);
    static union {
        FILE_RENAME_INFO info;
        char bytes[sizeof(FILE_RENAME_INFO) + UNITS * sizeof(WCHAR)];
    } rename;
    /* The new name in full, as the system's own path. */
    wchar_t full[UNITS], name[UNITS + 8];
    GetFullPathNameW(aside, UNITS, full, NULL);
    swprintf(name, UNITS + 8, L"\\??\\%ls", full);
    memset(&rename, 0, sizeof rename);
    rename.info.FileNameLength = (DWORD)(wcslen(name) * sizeof(WCHAR));
    memcpy(rename.info.FileName, name, rename.info.FileNameLength);
    BOOL ok = SetFileInformationByHandle(h, FileRenameInfo, &rename, sizeof rename);
    DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return said("FileRenameInfo", dir, ok);
}

/* `link` (made by `made`) onto DIR's name; removed again when refused. */
static void replace_with(const char* step, const wchar_t* dir, const wchar_t* link, BOOL made) {
    if (!made) return;
    if (!said(step, dir, MoveFileExW(link, dir, MOVEFILE_REPLACE_EXISTING))) RemoveDirectoryW(link);
}

/* `path` in full with the long-path prefix: names inside the extractor's
 * tree may take a path past MAX_PATH. */
static const wchar_t* full_path(const wchar_t* path) {
    static wchar_t out[4 + UNITS];
    wcscpy(out, L"\\\\?\\");
    GetFullPathNameW(path, UNITS, out + 4, NULL);
    return out;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: swap_helper WAIT_FOR OUTSIDE DIR...\n");
        return 64;
    }
    const wchar_t* wait_for = full_path(argv[1]);
    for (DWORD waited = 0; GetFileAttributesW(wait_for) == INVALID_FILE_ATTRIBUTES; waited++) {
        if (waited > 120000) {
            printf("wait %ls: gave up\n", argv[1]);
            return 2;
        }
        Sleep(1);
    }
    const wchar_t* outside = argv[2];
    for (int i = 3; i < argc; i++) {
        const wchar_t* dir = argv[i];
        wchar_t aside[UNITS], link[UNITS];
        joined(aside, dir, L".moved");
        if (said("MoveFileExW", dir, MoveFileExW(dir, aside, 0))) put_link(dir, outside);
        joined(aside, dir, L".renamed");
        if (rename_by_handle(dir, aside)) put_link(dir, outside);
        joined(link, dir, L".symlink");
        BOOL made = said("CreateSymbolicLinkW", link, make_symlink(link, outside));
        replace_with("replace-by-symlink", dir, link, made);
        joined(link, dir, L".junction");
        made = said("FSCTL_SET_REPARSE_POINT", link, make_junction(link, outside));
        if (!made) RemoveDirectoryW(link);
        replace_with("replace-by-junction", dir, link, made);
    }
    return 0;
}
