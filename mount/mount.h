// untree-mount: an archive shown as a read-only directory tree, nothing
// extracted. The index is read once, into a compact tree in memory (one
// 64-byte node an entry, the names in one block); contents are read from
// the archive where they lie, at the offset a read asks for.
//
// The tree is what untree would restore: the same names, the same entries
// left out. The file system itself (Linux: FUSE) is served by
// platform/linux/mount_serve.cpp, which asks the operations below.
#ifndef UNTREE_MOUNT_H
#define UNTREE_MOUNT_H

#include <stdint.h>

#include "archive/cursors.h"
#include "archive/extension.h"
#include "archive/format.h"
#include "platform/platform.h"

// Node 0 is the mount point itself; an entry's node number is its place
// among the entries shown, in record order (a directory listed twice is one
// node).
struct MountNode {
    uint64_t offset;          // a file: where its content starts in the archive; a directory
                              // with children: where its table of their names starts in slots
    uint64_t length;          // a file: its content length
    uint64_t creation_time;   // FILETIMEs as stored; 0 is "not known"
    uint64_t write_time;
    uint64_t access_time;
    uint32_t name_at;         // where its name starts in MountState::names
    uint32_t parent;
    uint32_t first_child;     // a directory: where its children start in MountState::children
    uint32_t child_count;
    uint32_t subdirectories;  // a directory: how many of its children are directories
    uint16_t name_length;     // bytes, as the system's file calls take the name
    uint16_t attributes;
    uint32_t content_crc;     // an extended archive's checksum of the content
    uint16_t mode;            // MODE_LINK, MODE_KNOWN and the permission bits shown; 0: from the attributes
};

struct MountState {
    ArchiveReader archive;    // its data cursor stays open for the reads
    const char* archive_path;
    const char* mount_point;
    bool foreground;
    const char* options;      // -o, handed to the file system as they are

    MountNode* nodes;
    uint32_t node_count;
    char* names;              // every node's name, back to back, no terminators
    uint32_t names_used;
    uint32_t* children;       // each directory's children in record order, directory after directory
    uint32_t* slots;          // each directory's children, node number + 1 by name hash; 0 is free
    uint64_t left_out;        // entries untree would not restore: not shown
    ExtensionCheck extension; // what the first pass found: checksums, modes and links apply
    uint32_t permission_mask; // which archived permission bits untree would give here
    uint8_t* damaged;         // one byte a node: its content failed its checksum

    uint16_t units[NAME_LINE_LIMIT + 1];   // the name being placed, as UTF-16, terminated
    char name[NAME_LINE_LIMIT * 3 + 1];    // the same as the system takes it
};

extern MountState g_mount;

// Reads the whole index into the tree. False, after one line on standard
// error that says why, when the archive cannot be opened, is damaged or is
// no tree archive: nothing is mounted.
bool build_tree(const char* archive_path);

// The child of `parent` named `name` (`length` bytes), or UINT32_MAX.
uint32_t find_child(uint32_t parent, const char* name, uint32_t length);

inline bool node_is_directory(const MountNode& n) {
    return (n.attributes & ATTRIBUTE_DIRECTORY) != 0;
}

inline bool node_is_link(const MountNode& n) {
    return (n.mode & MODE_LINK) != 0;
}

// The path of a node below the mount point, names joined by "/", into out
// (terminated, cut short where it does not fit).
void node_path(uint32_t node, char* out, uint32_t capacity);

// Whether the content is known to fail its checksum: every read of it
// then fails with EIO.
inline bool content_damaged(uint32_t node) {
    return g_mount.damaged && g_mount.damaged[node];
}
// Up to `count` bytes of a file's content from `offset` into `buffer`.
// Returns the count read (short only at the end of the file), or -1 with
// *error the system's error: a failed read, a content known damaged (EIO),
// an archive that shrank under the mount (EIO).
int64_t read_content(uint32_t node, uint64_t offset, uint32_t count, uint8_t* buffer, uint32_t* error);
// Follows the reads of a file's content, as the kernel asks for them: read
// from its start to its end, each byte once, the pieces' checksums are
// joined in the order they lie and checked at the end, whatever order the
// pieces came in (within a few). `crc` is piece_checksum of the piece,
// taken by the thread that read it. False when it has just failed: the
// read that completed the file gets EIO, and the line is on standard
// error. Not for two threads at once.
uint32_t piece_checksum(const uint8_t* bytes, uint32_t count);
bool follow_content(uint32_t node, uint64_t offset, uint32_t count, uint32_t crc);
// Whether a whole content read at once matches its checksum (a plain
// archive has none: always).
bool content_intact(uint32_t node, const uint8_t* bytes, uint64_t length);
// The files that follow `node` in its directory, up to `capacity` of them,
// each at most `file_limit` bytes long and all together at most `budget`,
// into `out`; stops at the first larger file or directory. Returns how many.
uint32_t files_after(uint32_t node, uint32_t* out, uint32_t capacity, uint64_t file_limit, uint64_t budget);
// A link's target, read whole and checked: its length, or -1 with *error.
int64_t read_link(uint32_t node, uint8_t* buffer, uint32_t capacity, uint32_t* error);

#endif
