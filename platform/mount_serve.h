// What untree-mount asks of the system: serving the tree of mount/mount.h as
// a read-only file system, positioned reads of the archive, and names in
// the form the system's file calls take them. Linux only, on FUSE
// (platform/linux/mount_serve.cpp): Windows has no such service here.
#ifndef UNTREE_PLATFORM_MOUNT_SERVE_H
#define UNTREE_PLATFORM_MOUNT_SERVE_H

#include <stdint.h>

#include "platform/platform.h"

// A name of an archive (UTF-16, NUL-terminated) as the system stores it, as
// untree's tree writing gives it to the system: a surrogate pair as one
// four-byte UTF-8 character, a lone surrogate in its own three bytes.
// Returns the bytes written without the terminator, 0 when they do not fit.
uint32_t platform_name_bytes(const WideChar* name, char* out, uint32_t capacity);

// Reads up to count bytes from `offset` without moving any position, so
// that many readers can share one handle. Returns the count read (short at
// the end of the file), -1 with *error set when the system refused.
int64_t platform_read_at(PlatformHandle handle, void* buffer, uint32_t count, uint64_t offset, uint32_t* error);

// A line about the served tree: on standard error in the foreground, to the
// system log in the background (where standard error is gone).
void platform_mount_report(const char* line);

// Mounts g_mount's tree on its mount point and serves it until it is
// unmounted (fusermount3 -u, umount) or the process gets SIGINT, SIGTERM or
// SIGHUP, which unmount it. Without `foreground` the process goes to the
// background once the mount stands; the command returns then. Returns the
// exit status, after a line on standard error when the mount failed.
int platform_mount_serve();

#endif
