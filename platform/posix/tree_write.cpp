// Writing the tree: directories and files made, filled and stamped through
// the directories held open, and the packer's own output file.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/backend.h"

// Long paths are walked by opening prefixes that fit.

static void release(AtPath* p) {
    if (p->owned) SYS(SYS_CLOSE, close(p->dirfd));
    p->owned = false;
}

bool at_path(const char* path, AtPath* out) {
    static char given[KERNEL_PATH_BYTES];
    out->dirfd = AT_FDCWD;
    out->owned = false;
    size_t length = strlen(path);
    if (length >= sizeof given) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(given, path, length + 1);
    out->rest = given;
    while (strlen(out->rest) >= PATH_MAX) {
        // The longest prefix that ends at a slash and fits. The kernel
        // resolves it whole, links and ".." alike, and the next part starts
        // from the directory it reached, as one call would.
        char* rest = (char*)out->rest;
        char* cut = rest + PATH_MAX - 1;
        while (cut > rest && *cut != '/') cut--;
        if (cut == rest && *rest != '/') {
            errno = ENAMETOOLONG;
            release(out);
            return false;
        }
        *cut = 0;
        int fd = SYS(SYS_OPENAT, openat(out->dirfd, *rest ? rest : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        *cut = '/';
        int e = errno;
        release(out);
        if (fd < 0) {
            errno = e;
            out->dirfd = AT_FDCWD;
            return false;
        }
        out->dirfd = fd;
        out->owned = true;
        // Slashes in a row are one; a part never starts with one, which
        // would lead back to the root.
        while (*++cut == '/') {
        }
        out->rest = cut;
    }
    return true;
}

void release_at(AtPath* p) {
    if (p->owned) {
        int e = errno;
        SYS(SYS_CLOSE, close(p->dirfd));
        errno = e;
    }
}

// --- The run -------------------------------------------------------------------

static struct {
    bool archive_known;
    uint64_t archive_volume;
    uint64_t archive_index;
    bool umask_known;  // platform_permission_mask read it
    mode_t umask;
} g_tree;

PlatformHandle platform_open_tree(const char* argument, const WideChar*, PlatformHandle archive) {
    g_tree.archive_volume = g_tree.archive_index = 0;
    g_tree.archive_known = platform_file_identity(archive, &g_tree.archive_volume, &g_tree.archive_index);
    int fd = -1;
    AtPath p;
    if (at_path(argument, &p)) {
        // What is left after a cut at the last slash of a long path.
        const char* rest = *p.rest ? p.rest : ".";
        fd = SYS(SYS_OPENAT, openat(p.dirfd, rest, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // A directory we may write in but not list is still a way in.
        if (fd < 0 && errno == EACCES) fd = SYS(SYS_OPENAT, openat(p.dirfd, rest, O_PATH | O_DIRECTORY | O_CLOEXEC));
        release_at(&p);
    }
    return to_handle(fd);
}

// --- Directories ----------------------------------------------------------------

// A name as the kernel takes it, in the backend's conversion buffer.
static const char* kernel_name(const WideChar* name) {
    if (utf16_to_utf8(name, g_kernel_path, KERNEL_PATH_BYTES, true) == 0) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return g_kernel_path;
}

DirectoryResult platform_enter_directory(PlatformHandle parent, const WideChar* name, uint32_t, bool ours,
                                         PlatformHandle* out) {
    // Only the read-only bit has a meaning here, and not on directories:
    // Windows still lets new entries into a read-only directory.
    *out = PLATFORM_NO_HANDLE;
    const char* n = kernel_name(name);
    if (!n) return DIRECTORY_NOT_MADE;
    int dirfd = to_fd(parent);
    if (SYS(SYS_MKDIRAT, mkdirat(dirfd, n, 0777)) == 0) {
        // Readable, for its times at the end. Should it have been swapped for
        // a link meanwhile, that is not followed.
        int fd = SYS(SYS_OPENAT, openat(dirfd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        *out = to_handle(fd);
        return fd >= 0 ? DIRECTORY_CREATED : DIRECTORY_REFUSED;
    }
    if (errno != EEXIST) return DIRECTORY_NOT_MADE;
    // Only a way in: nothing is read from it, and its times stay its own;
    // unless this run made it, and it gets its times once more.
    int fd = SYS(SYS_OPENAT, openat(dirfd, n, (ours ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd >= 0) {
        *out = to_handle(fd);
        return DIRECTORY_EXISTING;
    }
    int e = errno;
    struct stat st;
    if (SYS(SYS_FSTATAT, fstatat(dirfd, n, &st, AT_SYMLINK_NOFOLLOW)) == 0 && S_ISLNK(st.st_mode)) {
        errno = PLATFORM_REFUSED_LINK;
        return DIRECTORY_REFUSED;
    }
    if (e == ENOTDIR) {
        errno = EEXIST;  // a file stands there: what goes inside cannot be made
        return DIRECTORY_NOT_MADE;
    }
    errno = e;
    return e == ENOENT ? DIRECTORY_NOT_MADE : DIRECTORY_REFUSED;
}

// --- Files ----------------------------------------------------------------------

enum FileVerdict { FILE_REPLACE,
                   FILE_REFUSED };

// A file's last write as a FILETIME, for comparing with an entry's.
static uint64_t write_filetime(const struct stat& st) {
    int64_t t = (int64_t)st.st_mtim.tv_sec * 10000000 + st.st_mtim.tv_nsec / 100 + FILETIME_UNIX_EPOCH;
    return t < 0 ? 0 : (uint64_t)t;
}

// What may be done with the file that stands there (`existing`: an
// ExistingFileRule); errno says why not.
static FileVerdict judge(const struct stat& st, uint32_t existing, uint64_t write_time) {
    int refusal = 0;
    bool read_only = (st.st_mode & 0222) == 0;
    if (S_ISDIR(st.st_mode)) refusal = EISDIR;
    else if (S_ISLNK(st.st_mode)) refusal = PLATFORM_REFUSED_LINK;
    else if (!S_ISREG(st.st_mode)) refusal = PLATFORM_REFUSED_NOT_REGULAR;
    else if (g_tree.archive_known && file_volume(st) == g_tree.archive_volume && file_index(st) == g_tree.archive_index)
        refusal = PLATFORM_REFUSED_ARCHIVE;
    // A read-only file is not replaced, whatever our privileges.
    else if (read_only && existing == EXISTING_REPLACED) refusal = EACCES;
    else if (existing & EXISTING_KEPT) refusal = EEXIST;
    else if ((existing & EXISTING_KEPT_IF_NEWER) && write_filetime(st) > write_time) refusal = PLATFORM_REFUSED_NEWER;
    else if (read_only && !(existing & EXISTING_READ_ONLY_REPLACED)) refusal = EACCES;
    if (refusal) {
        errno = refusal;
        return FILE_REFUSED;
    }
    return FILE_REPLACE;
}

// Read-only from the start: the descriptor that creates the file still
// writes it, and no later call takes the write bits away. So are the
// archived permission bits, when the umask takes none of them: a call per
// file less.
static int create_new(int dirfd, const char* name, bool read_only, int32_t* mode) {
    mode_t bits = read_only ? 0444 : 0666;
    bool exact = *mode >= 0 && g_tree.umask_known && ((mode_t)*mode & ~(mode_t)0777) == 0 &&
                 ((mode_t)*mode & g_tree.umask) == 0;
    if (exact) bits = (mode_t)*mode;
    int fd = SYS(SYS_OPENAT, openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits));
    if (fd >= 0 && exact) *mode = -1;
    return fd;
}

PlatformHandle platform_create_file(PlatformHandle parent, const WideChar* name, uint32_t attributes,
                                    int32_t* mode, uint32_t existing, uint64_t write_time) {
    const char* n = kernel_name(name);
    if (!n) return PLATFORM_NO_HANDLE;
    int dirfd = to_fd(parent);
    bool read_only = attributes & 0x0001;
    // Exclusive first: a new file costs one call, and only an existing one is
    // looked at, by name and without opening it: a FIFO or a device is
    // never opened, so nothing blocks and no driver is woken.
    int fd = create_new(dirfd, n, read_only, mode);
    if (fd >= 0 || errno != EEXIST) return to_handle(fd);
    struct stat seen;
    if (SYS(SYS_FSTATAT, fstatat(dirfd, n, &seen, AT_SYMLINK_NOFOLLOW)) != 0) return PLATFORM_NO_HANDLE;
    if (judge(seen, existing, write_time) == FILE_REFUSED) return PLATFORM_NO_HANDLE;
    // Never written in place: the file there would keep its mode (a set-ID
    // bit, an executable one), owner, group, ACL and extended attributes,
    // and its other names would get the content. The name gets a new file,
    // with what any new file gets; another process putting something else
    // there meanwhile only loses that to the exclusive create.
    if (SYS(SYS_UNLINKAT, unlinkat(dirfd, n, 0)) != 0) return PLATFORM_NO_HANDLE;
    return to_handle(create_new(dirfd, n, read_only, mode));
}

uint32_t platform_write(PlatformHandle h, const void* buffer, uint32_t count) {
    if (h == PLATFORM_NO_HANDLE) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = SYS(SYS_WRITE, write(to_fd(h), (const char*)buffer + done, count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            break;
        }
        done += (uint32_t)n;
    }
    return done;
}

// One loop for both in-kernel copies: from the current position of `from`
// to that of `to`. -1 when the kernel offers no such copy between these two
// files and nothing was transferred; a short count leaves errno set (0 when
// the source ended).
int64_t kernel_copy(SyscallId id, PlatformHandle from, PlatformHandle to, uint64_t count) {
    if (from == PLATFORM_NO_HANDLE || to == PLATFORM_NO_HANDLE) return -1;
    uint64_t done = 0;
    while (done < count) {
        uint64_t want = count - done;
        if (want > 0x40000000) want = 0x40000000;
        ssize_t n = id == SYS_SENDFILE
                        ? SYS(SYS_SENDFILE, sendfile(to_fd(to), to_fd(from), 0, (size_t)want))
                        : SYS(SYS_COPY_FILE_RANGE, copy_file_range(to_fd(from), 0, to_fd(to), 0, (size_t)want, 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (done == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                              errno == EBADF))
                return -1;
            return (int64_t)done;
        }
        if (n == 0) {
            errno = 0;  // the source ended
            return (int64_t)done;
        }
        done += (uint64_t)n;
    }
    return (int64_t)done;
}

int64_t platform_copy_in_kernel(PlatformHandle from, PlatformHandle to, uint64_t count) {
    return kernel_copy(SYS_COPY_FILE_RANGE, from, to, count);
}

static struct timespec to_timespec(uint64_t filetime) {
    if (filetime != 0) return filetime_to_timespec(filetime);
    struct timespec ts;
    ts.tv_sec = 0;
    ts.tv_nsec = UTIME_OMIT;  // as on Windows: a zero time changes nothing
    return ts;
}

bool platform_set_times(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write) {
    (void)creation;  // Linux keeps no settable creation time
    if (h == PLATFORM_NO_HANDLE || (access == 0 && write == 0)) return true;
    struct timespec ts[2] = {to_timespec(access), to_timespec(write)};
    return SYS(SYS_FUTIMENS, futimens(to_fd(h), ts)) == 0;
}

StampResult platform_stamp_file(PlatformHandle h, uint64_t creation, uint64_t access, uint64_t write,
                                uint32_t attributes) {
    (void)attributes;  // the read-only bit came with the file: it was created so
    return platform_set_times(h, creation, access, write) ? STAMP_DONE : STAMP_TIMES_FAILED;
}

uint32_t platform_permission_mask() {
    // umask can only be read by setting it: set back at once, and this
    // process has no other thread to create anything meanwhile.
    mode_t mask = umask(0);
    umask(mask);
    g_tree.umask = mask;
    g_tree.umask_known = true;
    return geteuid() == 0 ? 01777u : 01777u & ~(uint32_t)mask;
}

bool platform_set_permissions(PlatformHandle h, uint32_t mode) {
    return h == PLATFORM_NO_HANDLE || SYS(SYS_FCHMOD, fchmod(to_fd(h), (mode_t)mode)) == 0;
}

bool platform_make_link(PlatformHandle parent, const WideChar* name, const WideChar*, const char* target,
                        uint32_t length, uint32_t existing, uint64_t access, uint64_t write) {
    static char text[4097];
    if (length >= sizeof text || memchr(target, 0, length)) {
        errno = EINVAL;  // the kernel takes a target up to a NUL, of at most 4095 bytes
        return false;
    }
    memcpy(text, target, length);
    text[length] = 0;
    const char* n = kernel_name(name);
    if (!n) return false;
    int dirfd = to_fd(parent);
    if (SYS(SYS_SYMLINKAT, symlinkat(text, dirfd, n)) != 0) {
        // What stands there is replaced as a file would be: a link (never
        // followed, and kept where the user keeps files) or a regular file
        // the rules for files let go.
        struct stat seen;
        if (errno != EEXIST || SYS(SYS_FSTATAT, fstatat(dirfd, n, &seen, AT_SYMLINK_NOFOLLOW)) != 0) return false;
        if (S_ISLNK(seen.st_mode)) {
            seen.st_mode = S_IFREG | 0644;  // judged as a writable file, by its own times
        }
        if (judge(seen, existing, write) == FILE_REFUSED) return false;
        if (SYS(SYS_UNLINKAT, unlinkat(dirfd, n, 0)) != 0 || SYS(SYS_SYMLINKAT, symlinkat(text, dirfd, n)) != 0)
            return false;
    }
    if (access == 0 && write == 0) return true;
    struct timespec ts[2] = {to_timespec(access), to_timespec(write)};
    return SYS(SYS_UTIMENSAT, utimensat(dirfd, n, ts, AT_SYMLINK_NOFOLLOW)) == 0;
}

// --- The packer's output -------------------------------------------------------
// ARCHIVE's final target is reached as a directory descriptor and a name in
// it, symbolic links followed by hand: so the temporary file lands beside
// the file that gets replaced, and the link itself stays. The temporary file
// has no name at all where the file system allows (O_TMPFILE): whatever ends
// the process, SIGKILL and a power cut included, leaves nothing behind. It
// gets its name only once it is whole and on the disk.

OutputFile g_output = {-1, {0}, {0}, 0, false, false, false, 0, 0, 0, 0, 0};

void remove_output_temporary() {
    if (g_output.temporary_exists) unlinkat(g_output.directory, g_output.temporary, 0);
}

static void forget_output() {
    if (g_output.directory >= 0) SYS(SYS_CLOSE, close(g_output.directory));
    memset(&g_output, 0, sizeof g_output);
    g_output.directory = -1;
}

// Splits `path` (kernel bytes, relative to `dirfd`) into its directory,
// opened as g_output.directory, and its last name. False with errno set.
static bool open_output_directory(int dirfd, const char* path) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (strlen(name) >= OUTPUT_NAME_BYTES) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd;
    if (!slash) {
        fd = SYS(SYS_OPENAT, openat(dirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    } else {
        char directory[PATH_MAX];
        size_t n = (size_t)(slash - path);
        if (n >= sizeof directory) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(directory, path, n);
        directory[n] = 0;
        fd = SYS(SYS_OPENAT, openat(dirfd, n ? directory : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (fd < 0) return false;
    if (g_output.directory >= 0) SYS(SYS_CLOSE, close(g_output.directory));
    g_output.directory = fd;
    // A target of "" (a link to "dir/") or "." names a directory.
    if (!*name) name = ".";
    memcpy(g_output.name, name, strlen(name) + 1);
    return true;
}

// The temporary file's name: the archive's, cut (never within a character)
// so that the suffix fits the system's limit on a name.
static void temporary_name(uint32_t attempt) {
    char suffix[40];
    if (attempt == 0) (void)snprintf(suffix, sizeof suffix, ".partial-%u", (unsigned)getpid());
    else (void)snprintf(suffix, sizeof suffix, ".partial-%u-%u", (unsigned)getpid(), (unsigned)attempt);
    size_t keep = strlen(g_output.name), room = NAME_MAX - strlen(suffix);
    if (keep > room) {
        keep = room;
        while (keep > 0 && ((uint8_t)g_output.name[keep] & 0xC0) == 0x80) keep--;
    }
    memcpy(g_output.temporary, g_output.name, keep);
    memcpy(g_output.temporary + keep, suffix, strlen(suffix) + 1);
}

// A FIFO, a device, a socket, a pipe: written straight, as the shell's ">"
// would, through whatever links lead there. Standard output named by a path
// (/dev/stdout) cannot be opened again when it is a socket: it is taken as
// it is, as "-" would be.
static PlatformHandle open_stream(const struct stat& st, PlatformTarget* target) {
    int fd = SYS(SYS_OPENAT, openat(g_output.directory, g_output.name, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    struct stat out;
    if (fd < 0 && errno == ENXIO && S_ISSOCK(st.st_mode) && SYS(SYS_FSTAT, fstat(STDOUT_FILENO, &out)) == 0 &&
        same_file(out, st)) {
        forget_output();
        return platform_output_standard(target);
    }
    if (fd < 0) return PLATFORM_NO_HANDLE;
    target->kind = PLATFORM_TARGET_STREAM;
    return to_handle(fd);
}

// The temporary file under a name of its own, for a file system without
// O_TMPFILE: removed by the signal handler, or by the caller.
static int create_named_temporary(mode_t mode) {
    int fd = -1;
    for (uint32_t attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary_name(attempt);
        hold_interruptions(true);
        fd = SYS(SYS_OPENAT,
                 openat(g_output.directory, g_output.temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        g_output.temporary_exists = fd >= 0;
        int e = errno;
        hold_interruptions(false);
        errno = e;
        if (fd < 0 && errno != EEXIST) break;
    }
    return fd;
}

PlatformHandle platform_output_open(const char* argument, const WideChar*, PlatformTarget* target) {
    memset(target, 0, sizeof *target);
    forget_output();
    AtPath p;
    if (!at_path(argument, &p)) return PLATFORM_NO_HANDLE;
    bool opened = open_output_directory(p.dirfd, p.rest);
    release_at(&p);
    if (!opened) return PLATFORM_NO_HANDLE;

    // What the kernel finds there through every link, /proc's included
    // (/dev/stdout leads to a pipe that no path names): a stream is written
    // straight. Anything else is looked for by hand below, and a failure
    // here shows again there.
    struct stat st;
    if (SYS(SYS_FSTATAT, fstatat(g_output.directory, g_output.name, &st, 0)) == 0 && !S_ISREG(st.st_mode) &&
        !S_ISDIR(st.st_mode))
        return open_stream(st, target);

    bool exists;
    for (int hops = 0;; hops++) {
        exists = SYS(SYS_FSTATAT, fstatat(g_output.directory, g_output.name, &st, AT_SYMLINK_NOFOLLOW)) == 0;
        if (!exists && errno != ENOENT) return PLATFORM_NO_HANDLE;
        if (!exists || !S_ISLNK(st.st_mode)) break;
        char link[PATH_MAX];
        ssize_t n = hops == 40 ? (errno = ELOOP, -1)
                               : SYS(SYS_READLINKAT, readlinkat(g_output.directory, g_output.name, link, sizeof link));
        if (n < 0 || n >= (ssize_t)sizeof link) {
            if (n >= 0) errno = ENAMETOOLONG;
            return PLATFORM_NO_HANDLE;
        }
        link[n] = 0;
        if (!open_output_directory(g_output.directory, link)) return PLATFORM_NO_HANDLE;
    }

    if (exists && S_ISDIR(st.st_mode)) {
        target->kind = PLATFORM_TARGET_DIRECTORY;
        errno = EISDIR;
        return PLATFORM_NO_HANDLE;
    }
    if (exists && !S_ISREG(st.st_mode)) return open_stream(st, target);
    if (exists) {
        // Replaced only where it could have been written to.
        if (SYS(SYS_FACCESSAT, faccessat(g_output.directory, g_output.name, W_OK, AT_EACCESS)) != 0)
            return PLATFORM_NO_HANDLE;
        g_output.replacing = true;
        g_output.mode = st.st_mode & 07777;
        g_output.owner = st.st_uid;
        g_output.group = st.st_gid;
        target->volume[target->left_out] = file_volume(st);
        target->index[target->left_out++] = file_index(st);
    }
    target->kind = exists ? PLATFORM_TARGET_REPLACED : PLATFORM_TARGET_NEW;

    // Private until it is whole when it replaces a file: that file's own
    // permissions come at the end.
    mode_t mode = g_output.replacing ? 0600 : 0666;
    int fd = SYS(SYS_OPENAT, openat(g_output.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    g_output.unnamed = fd >= 0;
    // EISDIR: a kernel older than O_TMPFILE.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) fd = create_named_temporary(mode);
    if (fd < 0) return PLATFORM_NO_HANDLE;
    if (SYS(SYS_FSTAT, fstat(fd, &st)) == 0) {
        g_output.temporary_owner = st.st_uid;
        g_output.temporary_group = st.st_gid;
        target->volume[target->left_out] = file_volume(st);
        target->index[target->left_out++] = file_index(st);
    }
    return to_handle(fd);
}

// The replaced file's owner, group and permissions for the new one.
static bool carry_permissions(int fd) {
    // Owner and group first: a change of owner clears the set-ID bits.
    if (g_output.owner != g_output.temporary_owner || g_output.group != g_output.temporary_group) {
        // Only a privileged process may give a file away; anyone may keep
        // a group of their own. What the process may not do is no failure.
        bool given = SYS(SYS_FCHOWN, fchown(fd, g_output.owner, g_output.group)) == 0;
        if (!given && errno == EPERM)
            given = SYS(SYS_FCHOWN, fchown(fd, (uid_t)-1, g_output.group)) == 0 || errno == EPERM;
        if (!given) return false;
    }
    return SYS(SYS_FCHMOD, fchmod(fd, g_output.mode)) == 0;
}

// Gives the unnamed file `name` in the archive's directory: by its
// descriptor where the process may (CAP_DAC_READ_SEARCH), through /proc
// otherwise.
static bool link_unnamed(int fd, const char* name) {
    if (SYS(SYS_LINKAT, linkat(fd, "", g_output.directory, name, AT_EMPTY_PATH)) == 0) return true;
    if (errno != ENOENT && errno != EPERM) return false;
    char proc[40];
    (void)snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return SYS(SYS_LINKAT, linkat(AT_FDCWD, proc, g_output.directory, name, AT_SYMLINK_FOLLOW)) == 0;
}

// Puts the finished file at ARCHIVE, and closes it. A new archive is linked
// there at once; one that replaces a file gets a temporary name first and is
// renamed over it. No signal comes between the name and the rename.
static bool place_output(int fd) {
    hold_interruptions(true);
    bool placed = false;
    int error = 0;
    if (g_output.unnamed) {
        placed = !g_output.replacing && link_unnamed(fd, g_output.name);
        // Taken meanwhile, a new archive's name is replaced like any other.
        bool another = !placed && (g_output.replacing || errno == EEXIST);
        for (uint32_t attempt = 0; another && attempt < 100; attempt++) {
            temporary_name(attempt);
            g_output.temporary_exists = link_unnamed(fd, g_output.temporary);
            another = !g_output.temporary_exists && errno == EEXIST;
        }
        if (!placed && !g_output.temporary_exists) error = errno;
    }
    // A file system may report a failed write only now.
    if (SYS(SYS_CLOSE, close(fd)) != 0 && !error) error = errno;
    if (!error && !placed) {
        if (SYS(SYS_RENAMEAT,
                renameat(g_output.directory, g_output.temporary, g_output.directory, g_output.name)) == 0)
            placed = true;
        else
            error = errno;
    }
    // Linked by this call and then found not whole.
    if (error && placed) unlinkat(g_output.directory, g_output.name, 0);
    if (error) remove_output_temporary();
    g_output.temporary_exists = 0;
    hold_interruptions(false);
    errno = error;
    return error == 0;
}

// On the disk: EINVAL is a file system that keeps nothing to flush.
static bool flushed(int result) { return result == 0 || errno == EINVAL; }

uint32_t platform_output_commit(PlatformHandle h) {
    int fd = to_fd(h);
    if (!g_output.unnamed && !g_output.temporary_exists) {
        // A stream: written as it went, never flushed.
        bool closed = g_output.standard || SYS(SYS_CLOSE, close(fd)) == 0;
        int e = errno;
        forget_output();
        errno = e;
        return closed ? PLATFORM_COMMIT_DONE : PLATFORM_COMMIT_WRITE;
    }
    // The directory is flushed once the new name is in it. One the process
    // may not read cannot be opened for that: then the whole file system is.
    int directory = SYS(SYS_OPENAT, openat(g_output.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool whole_system = directory < 0 && errno == EACCES;
    if (whole_system) directory = SYS(SYS_FCNTL, fcntl(fd, F_DUPFD_CLOEXEC, 0));
    uint32_t failure = PLATFORM_COMMIT_DONE;
    if (directory < 0) failure = PLATFORM_COMMIT_FLUSH;
    else if (g_output.replacing && !carry_permissions(fd)) failure = PLATFORM_COMMIT_PERMISSIONS;
    // The content on the disk before any name leads to it.
    else if (!flushed(SYS(SYS_FDATASYNC, fdatasync(fd)))) failure = PLATFORM_COMMIT_FLUSH;
    if (failure != PLATFORM_COMMIT_DONE) {
        int e = errno;
        SYS(SYS_CLOSE, close(fd));
        remove_output_temporary();
        g_output.temporary_exists = 0;
        errno = e;
    } else if (!place_output(fd)) {
        failure = PLATFORM_COMMIT_WRITE;
    } else if (!flushed(whole_system ? SYS(SYS_SYNCFS, syncfs(directory)) : SYS(SYS_FSYNC, fsync(directory)))) {
        failure = PLATFORM_COMMIT_DIRECTORY;
    }
    int e = errno;
    if (directory >= 0) SYS(SYS_CLOSE, close(directory));
    forget_output();
    errno = e;
    return failure;
}

bool platform_output_discard(PlatformHandle h) {
    if (!g_output.standard && h != PLATFORM_NO_HANDLE) SYS(SYS_CLOSE, close(to_fd(h)));
    bool removed = !g_output.temporary_exists ||
                   SYS(SYS_UNLINKAT, unlinkat(g_output.directory, g_output.temporary, 0)) == 0;
    int e = errno;
    if (removed) g_output.temporary_exists = 0;
    // A temporary file that stays keeps its name for the message.
    if (removed) forget_output();
    errno = e;
    return removed;
}

uint32_t platform_output_temporary_name(char* out, uint32_t capacity) {
    uint32_t n = (uint32_t)strlen(g_output.temporary);
    if (n + 1 > capacity) return 0;
    memcpy(out, g_output.temporary, n + 1);
    return n;
}
