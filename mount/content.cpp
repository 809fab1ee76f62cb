// A file's content, read where it lies in the archive: nothing is kept
// here, so the kernel's page cache is the only copy besides the archive.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "archive/checksum.h"
#include "mount/mount.h"
#include "platform/mount_serve.h"

void node_path(uint32_t node, char* out, uint32_t capacity) {
    const MountState* m = &g_mount;
    uint32_t chain[DEPTH_LIMIT + 1], depth = 0;
    for (uint32_t n = node; n != 0 && depth <= DEPTH_LIMIT; n = m->nodes[n].parent) chain[depth++] = n;
    uint32_t at = 0;
    while (depth > 0) {
        const MountNode& x = m->nodes[chain[--depth]];
        if (at + x.name_length + 2 > capacity) break;
        memcpy(out + at, m->names + x.name_at, x.name_length);
        at += x.name_length;
        if (depth > 0) out[at++] = '/';
    }
    out[at] = 0;
}

// The content failed its checksum: told once, and refused from now on.
static void found_damaged(uint32_t node) {
    MountState* m = &g_mount;
    if (m->damaged[node]) return;
    m->damaged[node] = 1;
    char path[4096], line[4600];
    node_path(node, path, sizeof path);
    (void)snprintf(line, sizeof line, "untree-mount: %s: checksum mismatch in <%s>: not served", m->archive_path, path);
    platform_mount_report(line);
}

static int64_t read_archive(const MountNode& n, uint64_t offset, uint32_t count, uint8_t* buffer, uint32_t* error) {
    int64_t got = platform_read_at(g_mount.archive.cursors.data_cursor, buffer, count, n.offset + offset, error);
    if (got >= 0 && (uint32_t)got < count) {
        // The archive shrank under the mount: its index no longer fits it.
        *error = EIO;
        return -1;
    }
    return got;
}

int64_t read_content(uint32_t node, uint64_t offset, uint32_t count, uint8_t* buffer, uint32_t* error) {
    const MountNode& n = g_mount.nodes[node];
    if (content_damaged(node)) {
        *error = EIO;
        return -1;
    }
    if (offset >= n.length) return 0;
    if (count > n.length - offset) count = (uint32_t)(n.length - offset);
    return read_archive(n, offset, count, buffer, error);
}

// The files being read in order: a few at a time, found by their node.
// The kernel reads ahead with several requests at once, and the serving
// threads may answer them in another order: a piece that comes before the
// ones in front of it waits here, its checksum taken, until they come. One
// the kernel stops reading in order, whose pieces run too far ahead, or
// that a second file of the same slot pushes out is simply not checked.
enum { READING_SLOTS = 256, PIECES_AHEAD = 16 };
struct Piece {
    uint64_t offset;
    uint32_t length;
    uint32_t crc;
};
struct Reading {
    uint32_t node;   // 0: free (node 0 is the mount point, never a file)
    uint32_t crc;    // of the bytes before `next`
    uint64_t next;
    uint32_t ahead;  // pieces waiting in `pieces`
    Piece pieces[PIECES_AHEAD];
};
static Reading g_readings[READING_SLOTS];

// Takes in the waiting pieces that now follow on.
static void take_waiting(Reading* r) {
    for (uint32_t i = 0; i < r->ahead;) {
        const Piece& p = r->pieces[i];
        if (p.offset == r->next) {
            r->crc = crc32c_combine(r->crc, p.crc, p.length);
            r->next += p.length;
        } else if (p.offset > r->next) {
            i++;
            continue;
        }
        // Taken, or bytes already taken (a second reader): gone either way.
        r->pieces[i] = r->pieces[--r->ahead];
        i = 0;
    }
}

uint32_t piece_checksum(const uint8_t* bytes, uint32_t count) {
    return g_mount.extension.extended ? crc32c(0, bytes, count) : 0;
}

bool follow_content(uint32_t node, uint64_t offset, uint32_t count, uint32_t crc) {
    const MountNode& n = g_mount.nodes[node];
    if (!g_mount.extension.extended || count == 0) return true;
    Reading* r = &g_readings[node % READING_SLOTS];
    if (r->node != node) {
        // A file is taken up where its reading starts, or where a slot is
        // free for a piece that came before its start.
        if (offset != 0 && r->node != 0) return true;
        r->node = node;
        r->crc = 0;
        r->next = 0;
        r->ahead = 0;
    } else if (offset == 0 && r->next != 0) {
        // Read from its start again.
        r->crc = 0;
        r->next = 0;
        r->ahead = 0;
    }
    if (offset < r->next) return true;
    if (offset > r->next) {
        if (r->ahead == PIECES_AHEAD) {
            r->node = 0;
            return true;
        }
        r->pieces[r->ahead++] = Piece{offset, count, crc};
        return true;
    }
    r->crc = r->next ? crc32c_combine(r->crc, crc, count) : crc;
    r->next += count;
    take_waiting(r);
    if (r->next < n.length) return true;
    r->node = 0;
    if (r->crc == n.content_crc) return true;
    found_damaged(node);
    return false;
}

bool content_intact(uint32_t node, const uint8_t* bytes, uint64_t length) {
    return !g_mount.extension.extended || crc32c(0, bytes, (size_t)length) == g_mount.nodes[node].content_crc;
}

uint32_t files_after(uint32_t node, uint32_t* out, uint32_t capacity, uint64_t file_limit, uint64_t budget) {
    const MountState* m = &g_mount;
    const MountNode& parent = m->nodes[m->nodes[node].parent];
    const uint32_t* children = m->children + parent.first_child;
    // Children are in node order: the node is found by halving.
    uint32_t low = 0, high = parent.child_count;
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        if (children[mid] < node) low = mid + 1;
        else high = mid;
    }
    uint32_t count = 0;
    for (uint32_t i = low + 1; i < parent.child_count && count < capacity; i++) {
        const MountNode& n = m->nodes[children[i]];
        if (node_is_directory(n) || node_is_link(n) || n.length > file_limit || n.length > budget) break;
        if (content_damaged(children[i])) continue;
        budget -= n.length;
        if (n.length) out[count++] = children[i];
    }
    return count;
}

int64_t read_link(uint32_t node, uint8_t* buffer, uint32_t capacity, uint32_t* error) {
    const MountNode& n = g_mount.nodes[node];
    if (n.length > capacity || content_damaged(node)) {
        *error = EIO;
        return -1;
    }
    int64_t got = read_archive(n, 0, (uint32_t)n.length, buffer, error);
    if (got >= 0 && crc32c(0, buffer, (size_t)got) != n.content_crc) {
        // A target that may have been changed leads nowhere.
        found_damaged(node);
        *error = EIO;
        return -1;
    }
    return got;
}
