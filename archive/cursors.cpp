#include "archive/cursors.h"

#include <string.h>

// The index came back shorter than the trailer promised: a read failed, or
// the file shrank under the run. Either way the walk cannot go on.
static void index_cut_short(ArchiveReader* r, uint32_t error) {
    r->index_fault = error ? "read error" : "archive shrank while read";
    r->index_error = error;
    r->index_unreadable = true;
}

bool open_cursors(ArchiveReader* r, const char* archive_path) {
    ArchiveCursors* c = &r->cursors;
    c->data_cursor = platform_open_read(archive_path);
    c->record_cursor = c->name_cursor = PLATFORM_NO_HANDLE;
    if (c->data_cursor != PLATFORM_NO_HANDLE) c->record_cursor = platform_open_read(archive_path);
    if (c->record_cursor != PLATFORM_NO_HANDLE) c->name_cursor = platform_open_read(archive_path);
    if (c->name_cursor == PLATFORM_NO_HANDLE) {
        // A handle missing would read as an archive without entries.
        close_cursors(r);
        return false;
    }

    r->file_size = platform_file_size(c->data_cursor);
    r->trailer.names_size = 0;
    r->trailer.records_size = 0;
    r->index_fault = 0;
    r->index_error = 0;
    r->names.fill = r->names.position = 0;
    r->names.remaining = 0;
    r->records.fill = r->records.position = 0;
    r->records.records_read = 0;
    r->data.window_fill = r->data.window_position = 0;
    r->data.remaining = 0;
    r->data.read_error = 0;
    r->data.kernel_copy_refused = false;

    // Shorter than a trailer: no entries, nothing to distrust.
    if (r->file_size < TRAILER_BYTES) return true;

    uint8_t bytes[TRAILER_BYTES];
    uint32_t error = 0, got = 0;
    if (platform_seek_from_end(c->record_cursor, -TRAILER_BYTES))
        got = platform_read(c->record_cursor, bytes, TRAILER_BYTES, &error);
    else
        error = platform_last_error();
    if (got < TRAILER_BYTES) {
        index_cut_short(r, error);
        return true;
    }
    decode_trailer(bytes, &r->trailer);

    uint64_t index = (uint64_t)r->trailer.names_size + r->trailer.records_size + TRAILER_BYTES;
    if (index >= INDEX_REGIONS_LIMIT || index > r->file_size) {
        // The regions cannot be found; the record cursor stays at the end of
        // the file, so the first record read ends the walk.
        r->index_fault = "index regions larger than the archive";
        return true;
    }
    r->data.remaining = r->file_size - index;  // contents never run into the index
    rewind_index(r);
    return true;
}

bool rewind_index(ArchiveReader* r) {
    uint64_t index = (uint64_t)r->trailer.names_size + r->trailer.records_size + TRAILER_BYTES;
    r->names.fill = r->names.position = 0;
    r->names.remaining = 0;
    r->records.fill = r->records.position = 0;
    r->records.records_read = 0;
    // A walk that found the index unreadable stopped there; the next one
    // reads it afresh and stops where the first did.
    r->index_fault = 0;
    r->index_error = 0;
    r->index_unreadable = false;
    // The regions stay where they were found, from the start of the file,
    // should it have changed its length since.
    uint64_t names_start = r->file_size - index;
    uint64_t records_start = names_start + r->trailer.names_size;
    uint64_t now = platform_file_size(r->cursors.data_cursor);
    if (now < records_start) {
        index_cut_short(r, 0);
        return false;
    }
    if (!platform_seek_from_end(r->cursors.name_cursor, -(int64_t)(now - names_start)) ||
        !platform_seek_from_end(r->cursors.record_cursor, -(int64_t)(now - records_start))) {
        index_cut_short(r, platform_last_error());
        return false;
    }
    r->names.remaining = r->trailer.names_size;
    return true;
}

RecordResult read_record(ArchiveReader* r, EntryRecord* record) {
    RecordReader* rr = &r->records;
    if (r->index_fault) return RECORD_CORRUPT;
    uint64_t consumed = (uint64_t)rr->records_read * RECORD_BYTES;
    uint64_t left = r->trailer.records_size - consumed;
    if (left < RECORD_BYTES) {
        // A tail of 32 bytes or more would have been read together with the
        // start of the trailer as one more record.
        return left + TRAILER_BYTES >= RECORD_BYTES ? RECORD_CORRUPT : RECORD_END;
    }
    uint8_t bytes[RECORD_BYTES];
    uint32_t got = 0;
    while (got < RECORD_BYTES) {
        if (rr->position == rr->fill) {
            uint64_t want = left - got;
            if (want > RECORD_BLOCK) want = RECORD_BLOCK;
            uint32_t error;
            rr->fill = platform_read(r->cursors.record_cursor, rr->block, (uint32_t)want, &error);
            rr->position = 0;
            if (rr->fill == 0) {
                index_cut_short(r, error);
                return RECORD_CORRUPT;
            }
        }
        uint32_t n = rr->fill - rr->position;
        if (n > RECORD_BYTES - got) n = RECORD_BYTES - got;
        memcpy(bytes + got, rr->block + rr->position, n);
        rr->position += n;
        got += n;
    }
    decode_record(bytes, record);
    rr->records_read++;
    return RECORD_ENTRY;
}

// The next block of the name region, once the last one is used up.
// LINE_OK when the block holds unread bytes; LINE_END when the region is
// read whole.
static LineResult fill_name_block(ArchiveReader* r) {
    NameLineReader* nr = &r->names;
    if (nr->position < nr->fill) return LINE_OK;
    uint64_t want = nr->remaining < (uint64_t)NAME_BLOCK ? nr->remaining : (uint64_t)NAME_BLOCK;
    if (want == 0) return LINE_END;
    uint32_t error;
    nr->fill = platform_read(r->cursors.name_cursor, nr->block, (uint32_t)want, &error);
    nr->position = 0;
    nr->remaining -= nr->fill;
    if (nr->fill == 0) {
        index_cut_short(r, error);
        return LINE_UNREADABLE;
    }
    return LINE_OK;
}

LineResult next_line(ArchiveReader* r) {
    NameLineReader* nr = &r->names;
    uint32_t length = 0;
    for (;;) {
        LineResult filled = fill_name_block(r);
        if (filled != LINE_OK) return filled;
        const uint8_t* start = nr->block + nr->position;
        uint32_t available = nr->fill - nr->position;
        const uint8_t* lf = (const uint8_t*)memchr(start, '\n', available);
        uint32_t take = lf ? (uint32_t)(lf - start) : available;
        if ((uint64_t)length + take >= NAME_LINE_LIMIT) return LINE_TOO_LONG;
        memcpy(nr->line + length, start, take);
        length += take;
        nr->position += take;
        if (lf) {
            nr->position++;  // the LF is consumed, not stored
            nr->line[length] = 0;
            nr->line_length = length;
            return LINE_OK;
        }
    }
}

const char* line_fault(LineResult line) {
    if (line == LINE_END) return "name lines end before the records";
    if (line == LINE_TOO_LONG) return "name line of 65536 bytes or more";
    return 0;
}

const char* nesting_fault(const EntryRecord& record, int32_t entry_number, int32_t previous_depth,
                          bool previous_was_directory) {
    if (record.depth >= DEPTH_LIMIT) return "depth 255";
    if (entry_number == 1 && record.depth != 0) return "first entry is not at depth 0";
    if (record.depth > previous_depth + 1) return "depth rises by more than one";
    if (record.depth > previous_depth && !previous_was_directory) return "entry inside a file";
    return 0;
}

bool skip_line(ArchiveReader* r) {
    NameLineReader* nr = &r->names;
    while (fill_name_block(r) == LINE_OK) {
        const uint8_t* start = nr->block + nr->position;
        const uint8_t* lf = (const uint8_t*)memchr(start, '\n', nr->fill - nr->position);
        if (lf) {
            nr->position += (uint32_t)(lf - start) + 1;
            return true;
        }
        nr->position = nr->fill;
    }
    return false;
}

void close_cursors(ArchiveReader* r) {
    platform_close(r->cursors.data_cursor);
    platform_close(r->cursors.name_cursor);
    platform_close(r->cursors.record_cursor);
    r->cursors.data_cursor = r->cursors.name_cursor = r->cursors.record_cursor = PLATFORM_NO_HANDLE;
}

uint32_t data_take(ArchiveReader* r, uint64_t wanted, const uint8_t** bytes) {
    DataReader* d = &r->data;
    if (d->window_position == d->window_fill) {
        uint64_t want = d->remaining < (uint64_t)WINDOW_BYTES ? d->remaining : (uint64_t)WINDOW_BYTES;
        uint32_t error = 0;
        d->window_fill = want ? platform_read(r->cursors.data_cursor, d->window, (uint32_t)want, &error) : 0;
        d->window_position = 0;
        d->remaining -= d->window_fill;
        if (d->window_fill == 0) {
            // Nothing without an error: the file ends here, and so does the
            // region. A failed read leaves the region as it was.
            d->read_error = error;
            if (!error) d->remaining = 0;
            return 0;
        }
    }
    uint32_t n = d->window_fill - d->window_position;
    if (wanted < n) n = (uint32_t)wanted;
    *bytes = d->window + d->window_position;
    d->window_position += n;
    return n;
}

uint64_t data_skip(ArchiveReader* r, uint64_t count) {
    DataReader* d = &r->data;
    uint64_t done = 0;
    uint32_t buffered = d->window_fill - d->window_position;
    uint32_t from_window = count < buffered ? (uint32_t)count : buffered;
    d->window_position += from_window;
    done += from_window;
    if (done == count) return done;
    uint64_t rest = count - done;
    if (rest > d->remaining) rest = d->remaining;
    if (rest && platform_skip_forward(r->cursors.data_cursor, rest)) {
        d->remaining -= rest;
        return done + rest;
    }
    // Forward seeks refused: read through the window instead.
    const uint8_t* ignored;
    while (done < count) {
        uint32_t n = data_take(r, count - done, &ignored);
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t data_copy_in_kernel(ArchiveReader* r, PlatformHandle to, uint64_t count) {
    DataReader* d = &r->data;
    if (d->kernel_copy_refused || d->window_position != d->window_fill) return -1;
    if (count > d->remaining) count = d->remaining;
    if (count == 0) return 0;
    int64_t n = platform_copy_in_kernel(r->cursors.data_cursor, to, count);
    // Refused for one output (another file system, no such call), most
    // likely refused for the next: the window serves from now on, without
    // a failing call per file.
    if (n < 0) d->kernel_copy_refused = true;
    if (n > 0) d->remaining -= (uint64_t)n;
    return n;
}
