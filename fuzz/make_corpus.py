#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small archives, valid and malformed, each
named after what it tries to break. Run it from anywhere; it rewrites
fuzz/corpus/ beside this script. The writer here is deliberately separate from
the C++ code, so a shared misreading of the layout cannot hide in both.

Layout: file contents back to back from offset 0, one LF-terminated name line
per entry, one 40-byte record per entry (u32 size_low, u8 size_high, u8 depth,
u16 attributes, creation, write and access FILETIMEs, 8 reserved bytes), then
the trailer (u32 names_size, u32 records_size). Little-endian throughout.
"""
import os
import struct
import sys

DIR = 0x0010
FILE = 0x0020
READONLY = 0x0001

# Distinct times, so a swapped field is not invisible.
CREATION = 132500000001234567
WRITE = 132600000007654321
ACCESS = 132700000003333337


def cesu8(text):
    """Every UTF-16 unit on its own, one to three bytes."""
    raw = text.encode("utf-16-le")
    out = bytearray()
    for (unit,) in struct.iter_unpack("<H", raw):
        if unit < 0x80:
            out.append(unit)
        elif unit < 0x800:
            out += bytes((0xC0 | unit >> 6, 0x80 | unit & 0x3F))
        else:
            out += bytes((0xE0 | unit >> 12, 0x80 | unit >> 6 & 0x3F, 0x80 | unit & 0x3F))
    return bytes(out)


def record(depth, attributes, length=0, times=(CREATION, WRITE, ACCESS)):
    return struct.pack("<IBBHQQQ8s", length & 0xFFFFFFFF, length >> 32 & 0xFF, depth, attributes,
                       times[0], times[1], times[2], b"\0" * 8)


def d(name, depth, attributes=DIR, length=0):
    """A directory entry; `length` lets a record carry sizes a directory must ignore."""
    return (name, depth, attributes | DIR, length, b"")


def f(name, depth, content=b"", attributes=FILE, length=None):
    """A file entry; `length` may differ from the content actually stored."""
    return (name, depth, attributes, len(content) if length is None else length, content)


def archive(entries, names_extra=b"", records_extra=b"", trailer=None, data_extra=b""):
    """The archive bytes. The *_extra arguments append raw bytes to a region
    (and count them in the trailer); `trailer` replaces the trailer's sizes."""
    data = bytearray()
    names = bytearray()
    records = bytearray()
    for name, depth, attributes, length, content in entries:
        data += content
        names += (cesu8(name) if isinstance(name, str) else name) + b"\n"
        records += record(depth, attributes, length)
    data += data_extra
    names += names_extra
    records += records_extra
    sizes = trailer if trailer is not None else (len(names), len(records))
    return bytes(data + names + records + struct.pack("<II", *sizes))


def crc_table(polynomial):
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ (polynomial if c & 1 else 0)
        table.append(c)
    return table


CRC32C_TABLE = crc_table(0x82F63B78)
CRC16_TABLE = crc_table(0x8408)


def crc(data, table, ones):
    c = ones
    for b in data:
        c = (c >> 8) ^ table[(c ^ b) & 0xFF]
    return c ^ ones


MODE_KNOWN, MODE_LINK = 0x1000, 0x2000


def extended(entries, names_extra=b""):
    """An extended archive of (name, depth, attributes, mode, content): each
    record's reserved bytes hold the mode, the content's CRC-32C and the
    record's own CRC-16 over its first 38 bytes and its name; the footer line
    after the last name holds the sizes and the index's CRC-32Cs."""
    data, names, records = b"", b"", b""
    for name, depth, attributes, mode, content in entries:
        name = cesu8(name) if isinstance(name, str) else name
        head = struct.pack("<IBBHQQQHI", len(content), 0, depth, attributes, CREATION, WRITE, ACCESS, mode,
                           crc(content, CRC32C_TABLE, 0xFFFFFFFF))
        records += head + struct.pack("<H", crc(head + name, CRC16_TABLE, 0xFFFF))
        names += name + b"\n"
        data += content
    names += names_extra
    names_size = len(names) + 65
    fields = b"\\untree:01" + b"".join(b" %08x" % v for v in (
        names_size, len(records), crc(names, CRC32C_TABLE, 0xFFFFFFFF), crc(records, CRC32C_TABLE, 0xFFFFFFFF)))
    footer = fields + b" %08x :eertnu\\\n" % crc(fields, CRC32C_TABLE, 0xFFFFFFFF)
    return data + names + footer + records + struct.pack("<II", names_size, len(records))


def seeds():
    valid = [
        d("docs", 0),
        f("readme.txt", 1, b"hello, tree\n"),
        d("empty", 1),
        d("deeper", 1),
        f("caf\u00e9 \u00fcber.txt", 2, b"non-ASCII name\n"),
        f("zero", 2),
        f("top.bin", 0, bytes(range(256))),
    ]
    yield "valid-small.tree", archive(valid)
    yield "valid-non-bmp-name.tree", archive([d("\U0001F600", 0), f("\U0001F4C1 \u4e2d.txt", 1, b"x")])
    yield "valid-readonly-file.tree", archive([f("locked.txt", 0, b"keep", FILE | READONLY)])
    yield "valid-cr-in-name.tree", archive([f("carriage\rreturn", 0, b"cr")])
    yield "valid-dir-with-size.tree", archive([d("sized", 0, length=(3 << 32) | 12345), f("a", 1, b"a")])
    yield "valid-deep-chain.tree", archive([d("d%d" % k, k) for k in range(40)] + [f("leaf", 40, b"leaf")])
    yield "valid-siblings-return.tree", archive(
        [d("a", 0), d("b", 1), d("c", 2), f("x", 3, b"x"), f("y", 1, b"yy"), d("z", 0), f("w", 1, b"www")])

    # Empty and truncated archives.
    yield "empty-index.tree", archive([])
    yield "shorter-than-trailer.tree", b"\x01\x02\x03"
    yield "trailer-only-garbage.tree", b"\xff" * 8
    yield "names-before-start.tree", archive(valid, trailer=(0x7FFFFF00, len(valid) * 40))
    yield "records-before-start.tree", archive(valid, trailer=(0, 0x7FFFFFF0))
    yield "index-2gib.tree", archive(valid, trailer=(0xFFFFFFF0, 0x80000000))

    # Records that break the nesting rules.
    yield "first-depth-1.tree", archive([d("a", 1), f("b", 2, b"b")])
    yield "depth-jump.tree", archive([d("a", 0), f("b", 2, b"b")])
    yield "child-under-file.tree", archive([f("file", 0, b"f"), f("child", 1, b"c")])
    chain = [d("d", k) for k in range(255)]
    yield "depth-255.tree", archive(chain + [f("f", 255, b"f")])

    # Region boundaries.
    yield "record-remainder-35.tree", archive([d("a", 0), f("b", 1, b"b")], records_extra=b"\x00" * 35)
    yield "record-remainder-5.tree", archive([d("a", 0), f("b", 1, b"b")], records_extra=b"\x00" * 5)
    yield "trailer-cut.tree", archive([d("a", 0), f("b", 1, b"b"), f("c", 1, b"c")])[:-1]
    # Two records, one name line: the second name would come from record bytes.
    one_name = archive([d("a", 0)])
    yield "fewer-names-than-records.tree", one_name[:-8] + record(1, FILE, 3) + struct.pack("<II", 2, 80)
    yield "name-without-lf.tree", archive([f("x", 0, b"x")], names_extra=b"tail")
    yield "extra-name-lines.tree", archive([f("x", 0, b"x")], names_extra=b"ghost\nghost2\n")
    yield "content-past-data.tree", archive([f("big", 0, b"abc", length=400), f("next", 0, b"n")])
    yield "content-huge.tree", archive([f("huge", 0, b"", length=(1 << 40) - 1), f("after", 0, b"a")])
    yield "content-only-data.tree", archive([f("a", 0, b"aaaa"), f("b", 0, b"bb")], data_extra=b"unclaimed")

    # Names that could leave the destination or clash.
    yield "name-dotdot.tree", archive([d("..", 0), f("escaped", 1, b"out")])
    # A child under a refused file: the file's name must not reach the child's path.
    yield "name-dotdot-file-parent.tree", archive([f("..", 0, b"f"), d("escaped", 1), f("deeper", 2, b"d")])
    yield "name-dotdot-chain.tree", archive([d("..", 0), d("..", 1), d("..", 2), f("escaped", 3, b"out")])
    yield "name-dot.tree", archive([d(".", 0), f("here", 1, b"h")])
    yield "name-empty.tree", archive([d("", 0), f("x", 1, b"x")])
    yield "name-slash.tree", archive([f("../slash", 0, b"s"), f("a/b", 0, b"s")])
    yield "name-backslash.tree", archive([f("..\\back", 0, b"b")])
    yield "name-colon.tree", archive([f("c:stream", 0, b"c")])
    yield "name-nul.tree", archive([f(b"nul\x00byte", 0, b"n")])
    yield "name-absolute.tree", archive([f("/tmp/untree-fuzz-absolute", 0, b"a")])
    yield "name-overlong-dotdot.tree", archive([d(b"\xc0\xae\xc0\xae", 0), f("escaped", 1, b"o")])
    yield "name-overlong-slash.tree", archive([f(b"..\xc0\xafescaped", 0, b"o")])
    yield "name-overlong-backslash.tree", archive([f(b"..\xc1\x9cescaped", 0, b"o")])
    yield "name-dotdot-stray-byte.tree", archive([d(b"..\x80", 0), f("escaped", 1, b"o")])
    yield "name-cut-sequence.tree", archive([f(b"cut\xe2\x82", 0, b"c")])
    yield "name-lone-surrogate.tree", archive([f(b"half\xed\xa0\xbd", 0, b"h")])
    yield "duplicate-file-then-dir.tree", archive([f("same", 0, b"1"), d("same", 0), f("in", 1, b"2")])
    yield "duplicate-dir-then-file.tree", archive([d("same", 0), f("same", 0, b"1")])
    yield "duplicate-readonly-overwrite.tree", archive(
        [f("ro", 0, b"first", FILE | READONLY), f("ro", 0, b"second")])
    yield "duplicate-case.tree", archive([f("README", 0, b"upper"), f("readme", 0, b"lower"), f("README", 0, b"again")])
    yield "duplicate-in-merged-dir.tree", archive([d("A", 0), f("x", 1, b"1"), f("b", 0, b"b"), d("A", 0),
                                                   f("x", 1, b"2"), f("y", 1, b"y")])
    # Two name lines for four records, then a depth that jumps: untree-list
    # once wrote before its path buffer here.
    yield "names-end-then-depth-jumps.tree", b"a\nb\n" + record(0, DIR) + record(1, DIR) + record(0, FILE) + \
        record(5, FILE) + struct.pack("<II", 4, 160)
    yield "zeros-4k.tree", bytes(4096)
    yield "lengths-one-short.tree", archive([f("a", 0, b"aa"), f("b", 0, b"bb", length=1), f("c", 0, b"cc")])

    # What a destination may hold already (the populated target puts links,
    # a second name, a FIFO, a read-only file and the archive itself under
    # these names): files and directories of those names, and entries inside.
    existing = "abcdeg"
    yield "existing-as-files.tree", archive([f(n, 0, b"over " + n.encode(), FILE) for n in existing] +
                                            [f("after", 0, b"own")])
    yield "existing-as-directories.tree", archive(
        [e for n in existing for e in (d(n, 0), f("in", 1, b"in " + n.encode()), d("x", 1), f("y", 2, b"y"))])
    # The extension: modes, links and checksums in the reserved bytes and a
    # footer line after the last name. A flipped bit anywhere must be found.
    known = MODE_KNOWN
    ext = extended([("dir", 0, DIR, known | 0o750, b""), ("run.sh", 1, FILE, known | 0o4755, b"#!/bin/sh\n"),
                    ("to-dir", 1, FILE, MODE_LINK | known | 0o777, b"../dir"),
                    ("out", 0, FILE, MODE_LINK | known | 0o777, b"/tmp"), ("x", 0, FILE, known | 0o600, b"x")])
    yield "extended-valid.tree", ext
    yield "extended-content-flipped.tree", ext[:1] + bytes([ext[1] ^ 1]) + ext[2:]
    at = len(ext) - 8 - 5 * 40 - 30  # inside the footer line
    yield "extended-footer-flipped.tree", ext[:at] + bytes([ext[at] ^ 1]) + ext[at + 1:]
    yield "extended-link-then-inside.tree", extended([("a", 0, FILE, MODE_LINK | known | 0o777, b".."),
                                                      ("a", 0, DIR, known | 0o755, b""),
                                                      ("x", 1, FILE, known | 0o644, b"X")])
    yield "extended-extra-line.tree", extended([("x", 0, FILE, known | 0o644, b"x")], names_extra=b"ghost\n")
    yield "existing-read-only-twice.tree", archive([f("e", 0, b"1", FILE | READONLY), f("c", 0, b"2", FILE | READONLY),
                                                    f("c", 0, b"3")])


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        if old.endswith(".tree"):
            os.remove(os.path.join(out, old))
    count = 0
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as stream:
            stream.write(data)
        count += 1
    print("wrote %d seeds to %s" % (count, out), file=sys.stderr)


if __name__ == "__main__":
    main()
