// Attributes and times. A directory's times can only be set once nothing more
// is written inside it (every new child moves its last-write time), so each
// created directory waits open in the slot of its depth until the walk comes
// back to that depth or shallower, and the sweep then closes the deepest
// first.
#include "extract/extract.h"

void open_pending_directory(int d, const EntryRecord& record, const WideChar* path) {
    PendingDirectoryTable* t = &g_state.pending;
    platform_set_attributes(path, record.attributes, true);
    t->handles[d] = platform_open_directory(path);
    t->write_times[d] = record.write_time;
    t->access_times[d] = record.access_time;
    t->creation_times[d] = record.creation_time;
}

void finalize_directories(int from_depth, int to_depth) {
    PendingDirectoryTable* t = &g_state.pending;
    for (int k = from_depth; k >= to_depth; k--) {
        if (t->handles[k] == PLATFORM_NO_HANDLE) continue;
        platform_set_times(t->handles[k], t->creation_times[k], t->access_times[k], t->write_times[k]);
        platform_close(t->handles[k]);
        t->handles[k] = PLATFORM_NO_HANDLE;
    }
}

void finish_file(PlatformHandle output, const EntryRecord& record, const WideChar* path) {
    platform_set_times(output, record.creation_time, record.access_time, record.write_time);
    platform_close(output);
    // Last, so that a read-only file could still be written and stamped.
    platform_set_attributes(path, record.attributes, false);
}
