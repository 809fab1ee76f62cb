// untree-mount's file system on Linux: FUSE's low-level interface over the
// tree of mount/mount.h. Node n is inode n + 1, so the mount point is
// FUSE's root inode 1. The tree never changes while it is mounted, so the
// kernel may keep every name, attribute and directory listing it has
// been told for as long as it likes; contents come from the archive by
// pread, through the page cache like any file's.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "mount/mount.h"
#include "platform/mount_serve.h"
#include "platform/posix/backend.h"
#include "report/console.h"
#include "report/exit_status.h"

// What every node shares: who owns it and what a time of 0 shows.
struct Serving {
    uid_t owner;
    gid_t group;
    mode_t umask;
    struct timespec archive_time;  // the archive's own last write
};

static Serving g_serving;

// Long enough to be for ever: the tree cannot change under the mount.
static const double FOREVER = 365.0 * 86400.0;

uint32_t platform_name_bytes(const WideChar* name, char* out, uint32_t capacity) {
    uint32_t n = utf16_to_utf8(name, out, capacity, false);
    return n ? n - 1 : 0;
}

int64_t platform_read_at(PlatformHandle h, void* buffer, uint32_t count, uint64_t offset, uint32_t* error) {
    *error = 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = pread(to_fd(h), (char*)buffer + done, count - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = (uint32_t)errno;
            return -1;
        }
        if (n == 0) break;
        done += (uint32_t)n;
    }
    return done;
}

static struct timespec shown_time(uint64_t filetime) {
    return filetime ? filetime_to_timespec(filetime) : g_serving.archive_time;
}

// As untree leaves an entry on Linux: made with 0777 (a directory) or 0666
// (a file) less the umask, a read-only file without its write bits. The
// kernel has no creation time to show: it stands in the change time.
// An extended archive's permission bits and links as untree restores them.
static void fill_attributes(uint32_t node, struct stat* st) {
    const MountNode& n = g_mount.nodes[node];
    memset(st, 0, sizeof *st);
    st->st_ino = (ino_t)node + 1;
    bool known = (n.mode & MODE_KNOWN) != 0;
    if (node_is_directory(n)) {
        st->st_mode = S_IFDIR | (known ? n.mode & MODE_PERMISSIONS : 0777 & ~g_serving.umask);
        st->st_nlink = 2 + n.subdirectories;
    } else {
        mode_t mode = 0666 & ~g_serving.umask;
        if (n.attributes & ATTRIBUTE_READONLY) mode &= ~0222;
        if (known) mode = n.mode & MODE_PERMISSIONS;
        st->st_mode = (node_is_link(n) ? S_IFLNK : S_IFREG) | mode;
        st->st_nlink = 1;
        st->st_size = (off_t)n.length;
        st->st_blocks = (blkcnt_t)((n.length + 511) / 512);
    }
    st->st_blksize = 65536;
    st->st_uid = g_serving.owner;
    st->st_gid = g_serving.group;
    st->st_atim = shown_time(n.access_time);
    st->st_mtim = shown_time(n.write_time);
    st->st_ctim = shown_time(n.creation_time);
}

// The node of an inode the kernel names; UINT32_MAX for none.
static uint32_t node_of(fuse_ino_t ino) {
    return ino >= 1 && ino <= g_mount.node_count ? (uint32_t)(ino - 1) : UINT32_MAX;
}

static void fill_entry(uint32_t node, struct fuse_entry_param* e) {
    memset(e, 0, sizeof *e);
    e->ino = (fuse_ino_t)node + 1;
    e->attr_timeout = FOREVER;
    e->entry_timeout = FOREVER;
    fill_attributes(node, &e->attr);
}

// Whether the kernel opens files and directories on its own (since Linux
// 4.19 and 5.1), keeping what it cached of them from one open to the next.
static bool g_opens_answered;

void platform_mount_report(const char* line) {
    if (g_mount.foreground) console_err("%s\n", line);
    else syslog(LOG_ERR, "%s", line);
}

static void serve_init(void*, struct fuse_conn_info* conn) {
    // The kernel reads ahead while the reader takes what came before: the
    // pieces of a file may come in any order, and are still checked.
    if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
    g_opens_answered = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) && (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT);
    // Listings come with their attributes, and stay cached: no lookup per name.
    if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    conn->max_readahead = conn->max_readahead > 1048576 ? conn->max_readahead : 1048576;
}

static void serve_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    uint32_t p = node_of(parent);
    if (p == UINT32_MAX) return (void)fuse_reply_err(req, ENOENT);
    if (!node_is_directory(g_mount.nodes[p])) return (void)fuse_reply_err(req, ENOTDIR);
    uint32_t child = find_child(p, name, (uint32_t)strlen(name));
    struct fuse_entry_param e;
    if (child == UINT32_MAX) {
        // Inode 0 with a timeout: the kernel remembers that it is not there.
        memset(&e, 0, sizeof e);
        e.entry_timeout = FOREVER;
        return (void)fuse_reply_entry(req, &e);
    }
    fill_entry(child, &e);
    fuse_reply_entry(req, &e);
}

static void serve_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    uint32_t node = node_of(ino);
    if (node == UINT32_MAX) return (void)fuse_reply_err(req, ENOENT);
    struct stat st;
    fill_attributes(node, &st);
    fuse_reply_attr(req, &st, FOREVER);
}

// One listing call: ".", "..", then the children, as many as fit `size`.
// The offset of an entry is its place in that order, plus one.
static void list_directory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    uint32_t node = node_of(ino);
    if (node == UINT32_MAX) return (void)fuse_reply_err(req, ENOENT);
    const MountState* m = &g_mount;
    const MountNode& dir = m->nodes[node];
    char* buffer = (char*)malloc(size);
    if (!buffer) return (void)fuse_reply_err(req, ENOMEM);
    size_t used = 0;
    char name[NAME_LINE_LIMIT];
    for (uint64_t k = (uint64_t)offset; k < (uint64_t)dir.child_count + 2; k++) {
        uint32_t shown = k == 0 ? node : k == 1 ? dir.parent
                                                : m->children[dir.first_child + k - 2];
        const char* text = k == 0 ? "." : k == 1 ? ".."
                                                 : name;
        if (k >= 2) {
            const MountNode& n = m->nodes[shown];
            memcpy(name, m->names + n.name_at, n.name_length);
            name[n.name_length] = 0;
        }
        size_t need;
        if (plus) {
            struct fuse_entry_param e;
            fill_entry(shown, &e);
            need = fuse_add_direntry_plus(req, buffer + used, size - used, text, &e, (off_t)(k + 1));
        } else {
            struct stat st;
            memset(&st, 0, sizeof st);
            st.st_ino = (ino_t)shown + 1;
            const MountNode& n = m->nodes[shown];
            st.st_mode = node_is_directory(n) ? S_IFDIR : node_is_link(n) ? S_IFLNK
                                                                          : S_IFREG;
            need = fuse_add_direntry(req, buffer + used, size - used, text, &st, (off_t)(k + 1));
        }
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buffer, used);
    free(buffer);
}

static void serve_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    list_directory(req, ino, size, offset, false);
}

static void serve_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    list_directory(req, ino, size, offset, true);
}

static void serve_readlink(fuse_req_t req, fuse_ino_t ino) {
    uint32_t node = node_of(ino);
    if (node == UINT32_MAX || !node_is_link(g_mount.nodes[node])) return (void)fuse_reply_err(req, EINVAL);
    uint8_t target[LINK_TARGET_LIMIT + 1];
    uint32_t error;
    int64_t got = read_link(node, target, LINK_TARGET_LIMIT, &error);
    if (got < 0) return (void)fuse_reply_err(req, (int)error);
    target[got] = 0;
    fuse_reply_readlink(req, (const char*)target);
}

// Opening is the kernel's business: nothing of an open file is kept here,
// so the kernel asks nothing when a file or directory is opened or closed,
// and keeps what it has cached of it from one open to the next.
static void serve_open(fuse_req_t req, fuse_ino_t, struct fuse_file_info* fi) {
    if (g_opens_answered) return (void)fuse_reply_err(req, ENOSYS);
    // An older kernel: the same said at every open.
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

static pthread_mutex_t g_follow_lock = PTHREAD_MUTEX_INITIALIZER;

static struct fuse_session* g_session;

// A small file read whole is most often one of many read one after the
// other (tar, cp -r, grep -r): the files after it in its directory go into
// the page cache, each whole and checked, so that reading them asks
// nothing of this process. One thread of its own stores them: a store
// waits for any page of the file that a read holds, and only a serving
// thread answers that read, so no serving thread ever stores. For the same
// reason serving goes on, when a signal ends the mount, until the storing
// thread has stopped.
enum {
    STORE_FILES = 64,
    STORE_FILE_LIMIT = 262144,
    STORE_BUDGET = 4194304,
};

struct Storing {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint32_t after;       // the file to store after; 0: nothing asked
    uint32_t done_up_to;  // the last file stored
    bool busy;
    bool stopping;
    bool loop_over;     // the session loop has returned
    int wake[2];        // a signal's byte to the thread that ends the mount
    pthread_t serving;  // the thread in the session loop, which signals interrupt
};
static Storing g_storing = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, false, false, false, {-1, -1}, 0};
static uint8_t g_store_buffer[STORE_FILE_LIMIT];

static void store_following(uint32_t node) {
    uint32_t files[STORE_FILES];
    uint32_t count = files_after(node, files, STORE_FILES, STORE_FILE_LIMIT, STORE_BUDGET);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t length = (uint32_t)g_mount.nodes[files[i]].length, error;
        if (read_content(files[i], 0, length, g_store_buffer, &error) != length) return;
        // A damaged one is left to its own read, which says so.
        if (!content_intact(files[i], g_store_buffer, length)) continue;
        struct fuse_bufvec piece = FUSE_BUFVEC_INIT(length);
        piece.buf[0].mem = g_store_buffer;
        // The kernel knows the file from the directory listing; if it has
        // forgotten it, nothing is stored and its read comes here.
        if (fuse_lowlevel_notify_store(g_session, (fuse_ino_t)files[i] + 1, 0, &piece, FUSE_BUF_NO_SPLICE) != 0) return;
        pthread_mutex_lock(&g_storing.lock);
        g_storing.done_up_to = files[i];
        bool stop = g_storing.stopping;
        pthread_mutex_unlock(&g_storing.lock);
        if (stop) return;
    }
}

static void* storing_thread(void*) {
    Storing* s = &g_storing;
    pthread_mutex_lock(&s->lock);
    for (;;) {
        while (!s->stopping && s->after == 0) pthread_cond_wait(&s->changed, &s->lock);
        if (s->stopping) break;
        uint32_t node = s->after;
        s->after = 0;
        // Files already stored are not stored twice.
        uint32_t done = s->done_up_to;
        if (done > node && g_mount.nodes[done].parent == g_mount.nodes[node].parent) node = done;
        s->busy = true;
        pthread_mutex_unlock(&s->lock);
        store_following(node);
        pthread_mutex_lock(&s->lock);
        s->busy = false;
        pthread_cond_broadcast(&s->changed);
    }
    pthread_mutex_unlock(&s->lock);
    return 0;
}

static void ask_store_after(uint32_t node) {
    pthread_mutex_lock(&g_storing.lock);
    if (!g_storing.stopping) {
        g_storing.after = node;
        pthread_cond_signal(&g_storing.changed);
    }
    pthread_mutex_unlock(&g_storing.lock);
}

// SIGINT, SIGTERM, SIGHUP: only a byte to the thread below.
static void on_end_signal(int) {
    int saved = errno;
    char byte = 1;
    (void)!write(g_storing.wake[1], &byte, 1);
    errno = saved;
}

// Stops the storing, while the mount is still served, then ends the
// session loop, which the signal sent to the serving thread interrupts.
static void* ending_thread(void*) {
    Storing* s = &g_storing;
    char byte;
    while (read(s->wake[0], &byte, 1) < 0 && errno == EINTR) {
    }
    pthread_mutex_lock(&s->lock);
    s->stopping = true;
    pthread_cond_broadcast(&s->changed);
    while (s->busy) pthread_cond_wait(&s->changed, &s->lock);
    fuse_session_exit(g_session);
    // The loop sees the exit only when its wait is interrupted: a signal
    // that came just before it began to wait interrupts nothing, so one is
    // sent again until the loop has returned.
    while (!s->loop_over) {
        pthread_kill(s->serving, SIGHUP);
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 100000000;
        if (until.tv_nsec >= 1000000000) until.tv_sec++, until.tv_nsec -= 1000000000;
        pthread_cond_timedwait(&s->changed, &s->lock, &until);
    }
    pthread_mutex_unlock(&s->lock);
    return 0;
}

// One buffer a serving thread, as large as it has needed, given back when
// the thread ends.
struct ThreadBuffer {
    uint8_t* bytes;
    size_t capacity;
    ~ThreadBuffer() { free(bytes); }
};
static thread_local ThreadBuffer t_read;

static uint8_t* thread_buffer(ThreadBuffer* b, size_t size) {
    if (size <= b->capacity) return b->bytes;
    free(b->bytes);
    b->bytes = (uint8_t*)malloc(size ? size : 1);
    b->capacity = b->bytes ? size : 0;
    return b->bytes;
}

static void serve_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    uint32_t node = node_of(ino);
    if (node == UINT32_MAX) return (void)fuse_reply_err(req, ENOENT);
    uint8_t* buffer = thread_buffer(&t_read, size);
    if (!buffer) return (void)fuse_reply_err(req, ENOMEM);
    uint32_t error;
    int64_t got = read_content(node, (uint64_t)offset, (uint32_t)size, buffer, &error);
    if (got < 0) return (void)fuse_reply_err(req, (int)error);
    uint32_t crc = piece_checksum(buffer, (uint32_t)got);
    pthread_mutex_lock(&g_follow_lock);
    bool whole = follow_content(node, (uint64_t)offset, (uint32_t)got, crc);
    pthread_mutex_unlock(&g_follow_lock);
    if (whole) {
        fuse_reply_buf(req, (const char*)buffer, (size_t)got);
        if (offset == 0 && (uint64_t)got == g_mount.nodes[node].length && got <= STORE_FILE_LIMIT)
            ask_store_after(node);
        return;
    }
    // What the page cache holds of it goes too, so that every read of it
    // fails from now on: before the error is answered, so that a reader
    // who opens it again at once finds nothing there; all but this read's
    // own pages, which the kernel holds until it is answered, and which
    // the error leaves out of the cache. Reads never start or end inside
    // a page.
    if (offset > 0) fuse_lowlevel_notify_inval_inode(g_session, ino, 0, (off_t)offset);
    fuse_lowlevel_notify_inval_inode(g_session, ino, (off_t)((uint64_t)offset + size), 0);
    fuse_reply_err(req, EIO);
    // Pieces answered meanwhile by other threads, read ahead of this one.
    fuse_lowlevel_notify_inval_inode(g_session, ino, 0, 0);
}

static void serve_statfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs s;
    memset(&s, 0, sizeof s);
    s.f_bsize = s.f_frsize = 512;
    s.f_blocks = (fsblkcnt_t)(g_mount.archive.file_size / 512);
    s.f_files = g_mount.node_count;
    s.f_namemax = 255;
    s.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &s);
}

// The session loop, with the storing thread beside it and the signals
// that end the mount taken here. -1 when the threads cannot start.
static int serve_loop(struct fuse_session* se) {
    Storing* s = &g_storing;
    s->serving = pthread_self();
    if (pipe2(s->wake, O_CLOEXEC) != 0) return -1;
    // The threads take no signal: they all come to the serving thread.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    pthread_t storer, ender;
    bool storing = pthread_create(&storer, 0, storing_thread, 0) == 0;
    bool ending = storing && pthread_create(&ender, 0, ending_thread, 0) == 0;
    pthread_sigmask(SIG_SETMASK, &before, 0);
    if (!ending) return -1;
    struct sigaction action, saved[3];
    memset(&action, 0, sizeof action);
    action.sa_handler = on_end_signal;
    sigemptyset(&action.sa_mask);
    const int ends[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; i++) sigaction(ends[i], &action, &saved[i]);
    struct fuse_loop_config* config = fuse_loop_cfg_create();
    int served = fuse_session_loop_mt(se, config);
    fuse_loop_cfg_destroy(config);
    pthread_mutex_lock(&s->lock);
    s->loop_over = true;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    // Unmounted from outside: the storing ends as the ending thread is
    // woken; the mount is gone, so a store under way fails at once.
    on_end_signal(0);
    pthread_join(ender, 0);
    pthread_join(storer, 0);
    for (int i = 0; i < 3; i++) sigaction(ends[i], &saved[i], 0);
    close(s->wake[0]);
    close(s->wake[1]);
    return served;
}

// The mount options: read-only, permission bits checked by the kernel, the
// archive's path as the source mount(8) shows, then the user's.
static bool mount_options(char* out, size_t capacity) {
    size_t at = (size_t)snprintf(out, capacity, "ro,default_permissions,subtype=untree,fsname=");
    for (const char* p = g_mount.archive_path; *p && at + 3 < capacity; p++) {
        // FUSE's option parser reads a backslash as an escape: commas and
        // backslashes in the path stay in it.
        if (*p == ',' || *p == '\\') out[at++] = '\\';
        out[at++] = *p;
    }
    if (at + 3 >= capacity) return false;
    out[at] = 0;
    if (g_mount.options && *g_mount.options) {
        int n = snprintf(out + at, capacity - at, ",%s", g_mount.options);
        if (n < 0 || (size_t)n >= capacity - at) return false;
    }
    return true;
}

int platform_mount_serve() {
    MountState* m = &g_mount;
    g_serving.owner = getuid();
    g_serving.group = getgid();
    g_serving.umask = umask(0);
    umask(g_serving.umask);
    struct stat st;
    if (fstat(to_fd(m->archive.cursors.data_cursor), &st) == 0) g_serving.archive_time = st.st_mtim;

    static struct fuse_lowlevel_ops ops;
    ops.init = serve_init;
    ops.lookup = serve_lookup;
    ops.getattr = serve_getattr;
    ops.opendir = serve_open;
    ops.readdir = serve_readdir;
    ops.readdirplus = serve_readdirplus;
    ops.readlink = serve_readlink;
    ops.open = serve_open;
    ops.read = serve_read;
    ops.statfs = serve_statfs;

    static char options[8192];
    if (!mount_options(options, sizeof options)) {
        console_err("untree-mount: the mount options are too long\n");
        return EXIT_EARLY;
    }
    char program[] = "untree-mount", dash_o[] = "-o";
    char* argv[] = {program, dash_o, options, 0};
    struct fuse_args args = FUSE_ARGS_INIT(3, argv);
    struct fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, 0);
    g_session = se;
    if (!se) {
        fuse_opt_free_args(&args);
        // FUSE has said why on standard error.
        console_err("untree-mount: cannot start the file system (mount options: %s)\n", options);
        return EXIT_EARLY;
    }
    // FUSE moves to / when it starts serving, even in the foreground: the
    // mount point is unmounted by its full path.
    char* point = realpath(m->mount_point, 0);
    int status = EXIT_EARLY;
    if (!point) {
        char text[512];
        console_err("untree-mount: cannot use %s as the mount point: %s\n", m->mount_point,
                    error_text((uint32_t)errno, text, sizeof text, true));
    } else {
        if (fuse_session_mount(se, point) != 0) {
            console_err("untree-mount: cannot mount on %s\n", m->mount_point);
        } else {
            fuse_daemonize(m->foreground ? 1 : 0);
            if (!m->foreground) openlog("untree-mount", LOG_PID, LOG_USER);
            int served = serve_loop(se);
            fuse_session_unmount(se);
            // A signal that ended it comes back as its number: unmounted as asked.
            status = served >= 0 ? EXIT_COMPLETE : EXIT_EARLY;
        }
    }
    fuse_session_destroy(se);
    // What FUSE made of the arguments.
    fuse_opt_free_args(&args);
    free(point);
    return status;
}
