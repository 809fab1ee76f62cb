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
    snprintf(line, sizeof line, "untree-mount: %s: checksum mismatch in <%s>: not served", m->archive_path, path);
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
// One the kernel stops reading in order (or that a second one of the same
// slot pushes out) is simply not checked.
enum { READING_SLOTS = 256 };
struct Reading {
    uint32_t node;   // 0: free (node 0 is the mount point, never a file)
    uint32_t crc;    // of the bytes before `next`
    uint64_t next;
};
static Reading g_readings[READING_SLOTS];

bool follow_content(uint32_t node, uint64_t offset, const uint8_t* bytes, uint32_t count) {
    const MountNode& n = g_mount.nodes[node];
    if (!g_mount.extension.extended || count == 0) return true;
    Reading* r = &g_readings[node % READING_SLOTS];
    if (offset == 0) {
        r->node = node;
        r->crc = 0;
        r->next = 0;
    } else if (r->node != node || r->next != offset) {
        return true;
    }
    r->crc = crc32c(r->crc, bytes, count);
    r->next += count;
    if (r->next < n.length) return true;
    r->node = 0;
    if (r->crc == n.content_crc) return true;
    found_damaged(node);
    return false;
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
