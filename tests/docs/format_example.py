"""The tiny example archive shown in docs/format.md.

Written here independently of the C++ writer, from the description in
docs/format.md alone, so that the document, this writer and the real
extractor check one another: run.py compares the hex dump printed in the
document with the bytes built here and extracts them with untree.

    python3 format_example.py        prints the dump as it belongs in the document
    python3 format_example.py ext    the same of the extended example
"""
import struct

DIRECTORY = 0x0010
ARCHIVE = 0x0020
READ_ONLY = 0x0001

FILETIME_UNIX_EPOCH = 116444736000000000  # 100 ns units from 1601 to 1970


def filetime(unix_seconds, hundred_ns=0):
    return FILETIME_UNIX_EPOCH + unix_seconds * 10_000_000 + hundred_ns


# 2024-05-01 12:00:00 UTC and a few moments after it; the sub-second parts
# show that times carry 100 ns.
T0 = 1714564800
CREATED = filetime(T0, 0)
WRITTEN = filetime(T0 + 60, 1234567)
ACCESSED = filetime(T0 + 3600, 7654321)

# (depth, name, attributes, content or None for a directory), pre-order.
ENTRIES = [
    (0, "docs", DIRECTORY, None),
    (1, "note.txt", ARCHIVE, b"hi\n"),
    (0, "hello.txt", ARCHIVE | READ_ONLY, b"Hello\n"),
    (0, "\U0001F600", ARCHIVE, b""),
]


def cesu8(name):
    """Every UTF-16 unit of the name on its own, as one to three bytes."""
    units = name.encode("utf-16-le")
    out = bytearray()
    for i in range(0, len(units), 2):
        u = units[i] | units[i + 1] << 8
        if u < 0x80:
            out.append(u)
        elif u < 0x800:
            out += bytes([0xC0 | u >> 6, 0x80 | u & 0x3F])
        else:
            out += bytes([0xE0 | u >> 12, 0x80 | u >> 6 & 0x3F, 0x80 | u & 0x3F])
    return bytes(out)


def record(depth, attributes, length, creation, write, access, reserved=bytes(8)):
    return struct.pack("<IBBHQQQ8s", length & 0xFFFFFFFF, length >> 32, depth, attributes,
                       creation, write, access, reserved)


def build():
    data = b"".join(c for _, _, _, c in ENTRIES if c is not None)
    names = b"".join(cesu8(n) + b"\n" for _, n, _, _ in ENTRIES)
    records = b"".join(
        record(d, a, 0 if c is None else len(c), CREATED, WRITTEN, ACCESSED) for d, _, a, c in ENTRIES)
    return data + names + records + struct.pack("<II", len(names), len(records))


# --- The extension (version 1) ------------------------------------------------

MODE_KNOWN = 0x1000
MODE_LINK = 0x2000
# The permission bits of the extended example, and a link beside the rest.
MODES = {"docs": 0o755, "note.txt": 0o644, "hello.txt": 0o444, "\U0001F600": 0o644, "link": 0o777}
EXTENDED_ENTRIES = ENTRIES[:3] + [(0, "link", ARCHIVE, b"docs")] + ENTRIES[3:]  # sorted by UTF-16 units


def crc(data, poly, width):
    """The reflected CRC of `width` bits: register all ones at the start,
    inverted at the end, bit by bit as the document gives it."""
    mask = (1 << width) - 1
    c = mask
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ poly if c & 1 else c >> 1
    return c ^ mask


def crc32c(data):
    return crc(data, 0x82F63B78, 32)


def crc16(data):
    return crc(data, 0x8408, 16)


def build_extended(creations=None):
    """The extended example; `creations` replaces each entry's creation time."""
    data, names, records = b"", b"", b""
    for i, (d, n, a, c) in enumerate(EXTENDED_ENTRIES):
        mode = MODE_KNOWN | MODES[n] | (MODE_LINK if n == "link" else 0)
        created = creations[i] if creations else CREATED
        head = record(d, a, 0 if c is None else len(c), created, WRITTEN, ACCESSED)[:32]
        head += struct.pack("<HI", mode, crc32c(c or b""))
        line = cesu8(n)
        records += head + struct.pack("<H", crc16(head + line))
        names += line + b"\n"
        data += c or b""
    names_size = len(names) + 65
    fields = b"\\untree:01" + b"".join(b" %08x" % v for v in (names_size, len(records), crc32c(names),
                                                                crc32c(records)))
    footer = fields + b" %08x :eertnu\\\n" % crc32c(fields)
    return data + names + footer + records + struct.pack("<II", names_size, len(records))


def hex_dump(blob):
    """Sixteen bytes a line: offset, the bytes in pairs, the printable ones."""
    lines = []
    for at in range(0, len(blob), 16):
        chunk = blob[at:at + 16]
        pairs = " ".join(chunk[i:i + 2].hex() for i in range(0, len(chunk), 2))
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append(f"{at:08x}: {pairs:<39}  {text}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    import sys
    print(hex_dump(build_extended() if sys.argv[1:] == ["ext"] else build()), end="")
