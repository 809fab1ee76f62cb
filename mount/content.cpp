// A file's content, read where it lies in the archive: nothing is kept
// here, so the kernel's page cache is the only copy besides the archive.
#include <errno.h>

#include "mount/mount.h"
#include "platform/mount_serve.h"

int64_t read_content(uint32_t node, uint64_t offset, uint32_t count, uint8_t* buffer, uint32_t* error) {
    const MountNode& n = g_mount.nodes[node];
    if (offset >= n.length) return 0;
    if (count > n.length - offset) count = (uint32_t)(n.length - offset);
    int64_t got = platform_read_at(g_mount.archive.cursors.data_cursor, buffer, count, n.offset + offset, error);
    if (got >= 0 && (uint32_t)got < count) {
        // The archive shrank under the mount: its index no longer fits it.
        *error = EIO;
        return -1;
    }
    // Where an archive carries a checksum of each file's content, a file read
    // from its start to its end in order is verified here, and a mismatch is
    // EIO to the reader. Plain archives carry none.
    return got;
}
