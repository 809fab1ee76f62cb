"""The tiny example archive shown in docs/format.md.

Written here independently of the C++ writer, from the description in
docs/format.md alone, so that the document, this writer and the real
extractor check one another: run.py compares the hex dump printed in the
document with the bytes built here and extracts them with untree.

    python3 format_example.py        prints the dump as it belongs in the document
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


def record(depth, attributes, length, creation, write, access):
    return struct.pack("<IBBHQQQ8s", length & 0xFFFFFFFF, length >> 32, depth, attributes,
                       creation, write, access, bytes(8))


def build():
    data = b"".join(c for _, _, _, c in ENTRIES if c is not None)
    names = b"".join(cesu8(n) + b"\n" for _, n, _, _ in ENTRIES)
    records = b"".join(
        record(d, a, 0 if c is None else len(c), CREATED, WRITTEN, ACCESSED) for d, _, a, c in ENTRIES)
    return data + names + records + struct.pack("<II", len(names), len(records))


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
    print(hex_dump(build()), end="")
