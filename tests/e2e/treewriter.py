"""A writer of tree archives for the end-to-end tests, independent of the C++
code: the contents back to back from offset 0, one name line per entry, one
40-byte record per entry, and the trailer (names_size, records_size).

It writes valid archives and, through the keyword arguments of write_archive,
the malformed ones the extractor must survive.
"""
import os
import stat
import struct

# FILETIME counts 100 ns from 1601-01-01; the Unix epoch is this many later.
EPOCH_AS_FILETIME = 116444736000000000

ATTR_READONLY = 0x0001
ATTR_DIRECTORY = 0x0010
ATTR_ARCHIVE = 0x0020

# Distinct, sub-second times with a non-zero 100 ns digit, so a conversion
# that loses precision or swaps the fields shows. They are years old, so any
# read of an extracted file moves its access time (relatime): stat first.
DEFAULT_CREATION = 132500000001234567
DEFAULT_WRITE = 132600000007654321
DEFAULT_ACCESS = 132700000003333337


def filetime_to_ns(ft):
    return (ft - EPOCH_AS_FILETIME) * 100


def ns_to_filetime(ns):
    return ns // 100 + EPOCH_AS_FILETIME


def cesu8(text):
    """Every UTF-16 unit encoded on its own, one to three bytes."""
    units = struct.unpack("<%dH" % (len(text.encode("utf-16-le")) // 2), text.encode("utf-16-le"))
    out = bytearray()
    for u in units:
        if u < 0x80:
            out.append(u)
        elif u < 0x800:
            out += bytes((0xC0 | (u >> 6), 0x80 | (u & 0x3F)))
        else:
            out += bytes((0xE0 | (u >> 12), 0x80 | ((u >> 6) & 0x3F), 0x80 | (u & 0x3F)))
    return bytes(out)


class Entry:
    """One record with its name line and content.

    name: str (written as CESU-8) or bytes (written as they are).
    length: the content length in the record; defaults to len(content). When
    it is larger, the data region holds content, then a hole (zeros, sparse
    on disk), then tail, so contents of several GiB cost nothing.
    size_field: overrides the record's length field only (e.g. on directories,
    whose length fields must be ignored); the data region is unaffected.
    reserved: the record's last 8 bytes.
    """

    def __init__(self, name, depth=0, is_dir=False, content=b"", length=None, tail=b"",
                 attributes=None, creation=DEFAULT_CREATION, write=DEFAULT_WRITE,
                 access=DEFAULT_ACCESS, size_field=None, reserved=b"\xee" * 8):
        self.name = name
        self.depth = depth
        self.is_dir = is_dir
        self.content = content
        self.tail = tail
        self.length = 0 if is_dir else (len(content) + len(tail) if length is None else length)
        assert self.length >= len(content) + len(tail)
        if attributes is None:
            attributes = ATTR_DIRECTORY if is_dir else ATTR_ARCHIVE
        self.attributes = attributes
        self.creation, self.write, self.access = creation, write, access
        self.size_field = self.length if size_field is None else size_field
        self.reserved = reserved

    def name_bytes(self):
        return self.name if isinstance(self.name, bytes) else cesu8(self.name)

    def record(self):
        size = self.size_field
        return struct.pack("<IBBHQQQ8s", size & 0xFFFFFFFF, (size >> 32) & 0xFF, self.depth & 0xFF,
                           self.attributes, self.creation, self.write, self.access, self.reserved)


def Dir(name, depth=0, **kw):
    return Entry(name, depth, True, **kw)


def File(name, depth=0, content=b"", **kw):
    return Entry(name, depth, False, content, **kw)


def write_archive(path, entries, *, names=None, extra_names=(), drop_names=0, record_tail=b"",
                  trailer=None, data_cut=0, data_prefix=None):
    """Writes an archive of `entries` to `path`; the keywords break it.

    names: the whole name region as bytes, instead of the entries' lines.
    extra_names: lines appended after the last entry's.
    drop_names: how many of the last entries' lines to leave out.
    record_tail: bytes after the last record, inside the record region.
    trailer: (names_size, records_size) to write instead of the true ones.
    data_cut: bytes removed from the end of the data region.
    data_prefix: bytes written as the data region instead of the contents.
    Returns the byte offset where the name region starts.
    """
    with open(path, "wb") as f:
        if data_prefix is not None:
            f.write(data_prefix)
            data_end = len(data_prefix)
        else:
            offset = 0
            for e in entries:
                if e.is_dir:
                    continue
                f.seek(offset)
                f.write(e.content)
                if e.tail:
                    f.seek(offset + e.length - len(e.tail))
                    f.write(e.tail)
                offset += e.length
            data_end = offset - data_cut
        if names is None:
            lines = [e.name_bytes() + b"\n" for e in entries]
            lines = lines[:len(lines) - drop_names] + [bytes(n) + b"\n" for n in extra_names]
            names = b"".join(lines)
        records = b"".join(e.record() for e in entries) + record_tail
        if trailer is None:
            trailer = (len(names), len(records))
        f.seek(data_end)
        f.truncate(data_end)  # a hole at the very end of the data is still its length
        f.write(names)
        f.write(records)
        f.write(struct.pack("<II", *trailer))
    return data_end


def write_raw(path, data):
    with open(path, "wb") as f:
        f.write(data)


def pack_tree(source, path, *, skip=None):
    """Packs the directory tree under `source` into an archive at `path`.

    Regular files and directories only (links and devices are passed over),
    siblings in name order, times from stat to 100 ns (the inode change time
    stands in for the creation time Linux does not keep). Returns the entries
    with their relative paths as `rel` (tuples of str), for comparing.
    skip(rel) may leave out entries (and their subtrees).
    """
    entries = []

    def walk(directory, rel):
        for name in sorted(os.listdir(directory)):
            full = os.path.join(directory, name)
            st = os.lstat(full)
            sub = rel + (name,)
            if skip and skip(sub):
                continue
            times = dict(creation=ns_to_filetime(st.st_ctime_ns), write=ns_to_filetime(st.st_mtime_ns),
                         access=ns_to_filetime(st.st_atime_ns))
            if stat.S_ISDIR(st.st_mode):
                e = Dir(name, len(rel), **times)
                e.rel = sub
                entries.append(e)
                walk(full, sub)
            elif stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    content = f.read()
                attributes = ATTR_ARCHIVE | (0 if st.st_mode & 0o222 else ATTR_READONLY)
                e = File(name, len(rel), content, attributes=attributes, **times)
                e.rel = sub
                entries.append(e)

    walk(source, ())
    write_archive(path, entries)
    return entries
