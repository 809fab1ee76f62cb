// Attributes and times. A directory's times can only be set once nothing more
// is written inside it (every new child moves its last-write time), so each
// created directory waits open in the slot of its depth until the walk comes
// back to that depth or shallower, and the sweep then closes the deepest
// first.
#include "extract/extract.h"

void open_pending_directory(int d, const EntryRecord& record, PlatformHandle held, bool created) {
    PendingDirectoryTable* t = &g_state.pending;
    t->handles[d] = held;
    // An existing directory keeps its own times: zero changes none.
    t->write_times[d] = created ? record.write_time : 0;
    t->access_times[d] = created ? record.access_time : 0;
    t->creation_times[d] = created ? record.creation_time : 0;
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

void finish_file(PlatformHandle output, const EntryRecord& record) {
    // Through the handle, before it is closed: by name, another process
    // could have put something else there by then. The read-only bit comes
    // last, so that it never stands in the way of the content or the times.
    platform_stamp_file(output, record.creation_time, record.access_time, record.write_time, record.attributes);
    platform_close(output);
}
