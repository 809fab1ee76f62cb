// Attributes and times. A directory's times can only be set once nothing more
// is written inside it (every new child moves its last-write time), so each
// created directory waits open in the slot of its depth until the walk comes
// back to that depth or shallower, and the sweep then closes the deepest
// first.
#include "extract/extract.h"
#include "report/failure.h"

void open_pending_directory(int d, const EntryRecord& record, PlatformHandle held, bool created) {
    PendingDirectoryTable* t = &g_state.pending;
    t->handles[d] = held;
    // An existing directory keeps its own times: zero changes none.
    t->write_times[d] = created ? record.write_time : 0;
    t->access_times[d] = created ? record.access_time : 0;
    t->creation_times[d] = created ? record.creation_time : 0;
    int32_t mode = created ? restored_mode(record) : -1;
    t->modes[d] = mode < 0 ? 0 : (uint16_t)(MODE_KNOWN | mode);
}

// A call on the directory held at depth k failed. The built path still runs
// through it, since every entry since was inside it: cut there for the
// report line, then mended.
static void report_directory_call(EntryCall call, int k, uint32_t code) {
    PathBuilder* p = &g_state.path;
    uint32_t end = p->wide_level_start[k + 1] - 1;
    WideChar separator = p->wide[end];
    p->wide[end] = 0;
    g_state.incomplete = true;
    report_call_failure(call, p->wide, 0, code);
    p->wide[end] = separator;
}

void finalize_directories(int from_depth, int to_depth) {
    PendingDirectoryTable* t = &g_state.pending;
    for (int k = from_depth; k >= to_depth; k--) {
        if (t->handles[k] == PLATFORM_NO_HANDLE) continue;
        if (!platform_set_times(t->handles[k], t->creation_times[k], t->access_times[k], t->write_times[k]))
            report_directory_call(CALL_SET_TIMES, k, platform_last_error());
        // After the subtree: bits such as 0500 would have kept it out.
        if (t->modes[k] && !platform_set_permissions(t->handles[k], t->modes[k] & MODE_PERMISSIONS))
            report_directory_call(CALL_SET_PERMISSIONS, k, platform_last_error());
        t->modes[k] = 0;
        if (!platform_close(t->handles[k])) report_directory_call(CALL_CLOSE, k, platform_last_error());
        t->handles[k] = PLATFORM_NO_HANDLE;
    }
}

void finish_file(PlatformHandle output, const EntryRecord& record, int32_t mode) {
    // Through the handle, before it is closed: by name, another process
    // could have put something else there by then. The read-only bit comes
    // last, so that it never stands in the way of the content or the times.
    const WideChar* path = g_state.path.wide;
    StampResult stamped =
        platform_stamp_file(output, record.creation_time, record.access_time, record.write_time, record.attributes);
    if (stamped != STAMP_DONE) {
        g_state.incomplete = true;
        report_call_failure(stamped == STAMP_TIMES_FAILED ? CALL_SET_TIMES : CALL_SET_ATTRIBUTES, path,
                            record.attributes, platform_last_error());
    }
    if (mode >= 0 && !platform_set_permissions(output, (uint32_t)mode)) {
        g_state.incomplete = true;
        report_call_failure(CALL_SET_PERMISSIONS, path, (uint32_t)mode, platform_last_error());
    }
    // A file system may tell only now that the content did not reach it.
    if (!platform_close(output)) {
        g_state.incomplete = true;
        report_call_failure(CALL_CLOSE, path, record.attributes, platform_last_error());
    }
}

int32_t restored_mode(const EntryRecord& record) {
    if (!g_state.extension.extended) return -1;
    return restored_permissions(record, g_state.permission_mask);
}
