#!/usr/bin/env python3
"""End-to-end tests of untree-list: archives written by treewriter (or by
untree-pack, or damaged the way files get damaged), the real binary run on
them, its lines and exit status compared with what they must be.

    python3 tests/list/run.py --list build/list/untree-list --untree build/untree \
        [--pack build/pack/untree-pack] [--runner wine]
"""
import datetime
import json
import os
import re
import struct
import subprocess
import sys
import tarfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(os.path.dirname(HERE), "e2e"), os.path.dirname(HERE)]
import harness  # noqa: E402
from harness import Skip, case, expect, expect_eq, text_lines  # noqa: E402
from treewriter import DEFAULT_WRITE, Dir, File, cesu8, write_archive, write_raw  # noqa: E402

GIB4 = 1 << 32


class Context(harness.Context):
    def list(self, *args):
        """untree-list with `args`: (exit status, stdout lines, stderr lines)."""
        p = self.run_program(self.args.list, args)
        out = text_lines(p.stdout, self.wine, "stdout").split(b"\n")
        err = text_lines(p.stderr, self.wine, "stderr").split(b"\n")
        expect(out[-1] == b"" and err[-1] == b"", "output without a final line end: %r %r" % (out[-1:], err[-1:]))
        return p.returncode, out[:-1], err[:-1]

    def untree_said(self, archive):
        """untree on the archive: its exit status and the lines it says
        about the archive (not about what it writes)."""
        harness.remove_tree("out") if os.path.isdir("out") else None
        os.makedirs("out")
        p = self.run_program(self.untree, [archive, "out"])
        lines = text_lines(p.stderr, self.wine, "untree stderr").split(b"\n")
        return p.returncode, [line for line in lines if line.startswith((b"archive corrupt", b"not a tree archive",
                                                                         b"duplicate name", b"unsafe name"))]


def iso(filetime, exact=False):
    t = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=filetime // 10)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + (".%07d" % (filetime % 10**7) if exact else "") + "Z"


def row(flags, size, time, path):
    """A listing line, its columns written out here independently."""
    return ("%s %13d %s %s" % (flags, size, time, path)).encode()


W = iso(DEFAULT_WRITE)
YEAR_10000 = ((datetime.date(9999, 12, 31) - datetime.date(1601, 1, 1)).days + 1) * 86400 * 10**7
SMILE = "\U0001F600"
LEAP_DAY = 125963012967000000  # 2000-02-29T12:34:56.7Z

# Kinds, attributes, sizes (one above 4 GiB, a directory whose length field
# holds garbage), times (zero, beyond 9999, a leap day), and names that must
# be escaped.
SAMPLE = [
    Dir("docs", attributes=0x12, size_field=123), Dir("api", 1), File("index.html", 2, b"<html>", attributes=0x21),
    Dir("apiary", 1), File("x", 2, b"xx", write=0), File("big", 1, b"H", length=GIB4 + 5, attributes=0x24),
    File(b"ctl\x1b[2Kx", 0, b"c"), File(b"back\\slash"), File("caf\u00e9", creation=LEAP_DAY), File(SMILE), File(b"bad\xff"),
    File(b"lone\xed\xa0\xbd"), File("c1\u0085\u007f"), File(b"nul\x00x"), File("late", write=YEAR_10000, reserved=bytes(8)),
]
SAMPLE_LINES = [
    b"d-h--             0 " + W.encode() + b" docs",
    b"d----             0 " + W.encode() + b" docs\\api",
    b"-r--a             6 " + W.encode() + b" docs\\api\\index.html",
    row("d----", 0, W, "docs\\apiary"),
    row("----a", 2, "-".ljust(20), "docs\\apiary\\x"),
    row("---sa", GIB4 + 5, W, "docs\\big"),
    row("----a", 1, W, "ctl\\x1B[2Kx"),
    row("----a", 0, W, "back\\x5Cslash"),
    row("----a", 0, W, "caf\u00e9"),
    row("----a", 0, W, SMILE),
    row("----a", 0, W, "bad\\xFF"),
    row("----a", 0, W, "lone\\xED\\xA0\\xBD"),
    row("----a", 0, W, "c1\\xC2\\x85\\x7F"),
    row("----a", 0, W, "nul\\x00x"),
    row("----a", 0, "?".ljust(20), "late"),
]


@case
def listing_line_by_line(t):
    """Every column of the default listing; --names and --summary; FILTER
    selects what untree would extract, a character beyond the BMP given in
    ordinary UTF-8 included."""
    write_archive("a.tree", SAMPLE)
    expect_eq(t.list("a.tree"), (0, SAMPLE_LINES, []), "listing")
    paths = [line[41:] for line in SAMPLE_LINES]
    expect_eq(t.list("--names", "a.tree"), (0, paths, []), "--names")
    expect_eq(t.list("a.tree", "docs\\api"), (0, SAMPLE_LINES[:5], []), "listing under docs\\api")
    expect_eq(t.list("--names", "--", "a.tree", SMILE), (0, [SMILE.encode()], []), "--names under a non-BMP filter")
    bytes_total = 6 + 2 + GIB4 + 5 + 1
    expect_eq(t.list("--summary", "a.tree"),
              (0, [b"entries=15 directories=3 files=12 bytes=%d" % bytes_total], []), "--summary")
    # docs\api comes along: its bytes begin the filter's, as untree compares them.
    expect_eq(t.list("--summary", "a.tree", "docs\\apiary\\"),
              (0, [b"entries=4 directories=3 files=1 bytes=2"], []), "--summary under a filter")


@case
def json_read_back(t):
    """Every field of every record, parsed back as JSON; the last line has
    the totals."""
    write_archive("a.tree", SAMPLE)
    rc, out, err = t.list("--json", "a.tree")
    expect_eq((rc, err), (0, []), "exit status and stderr")
    objects = [json.loads(line) for line in out]
    expect_eq(objects[-1], {"summary": {"entries": 15, "directories": 3, "files": 12, "bytes": GIB4 + 14}}, "summary")
    for n, (e, o, line) in enumerate(zip(SAMPLE, objects, SAMPLE_LINES), 1):
        path = line[41:].decode()
        try:  # a name that is text comes back as exactly its characters
            name = e.name if isinstance(e.name, str) else e.name.decode("utf-8")
        except UnicodeDecodeError:
            name = None  # shown as in the listing (these are at the top), with its bytes beside it
        want = {"entry": n, "path": path, "name": path if name is None else name,
                "depth": e.depth, "kind": "directory" if e.is_dir else "file", "size": e.size_field,
                "attributes": e.attributes}
        for field in ("creation", "write", "access"):
            ft = getattr(e, field)
            want[field + "_filetime"] = ft
            want[field + "_time"] = None if ft == 0 else "+10000-01-01T00:00:00.0000000Z" if ft == YEAR_10000 \
                else iso(ft, exact=True)
        if e.reserved != bytes(8):
            want["reserved"] = e.reserved.hex().upper()
        if name is None:
            want["name_hex"] = e.name_bytes().hex().upper()
        expect_eq(o, want, "JSON of entry %d" % n)
    expect_eq([o["name"] for o in objects[6:8]], ["ctl\x1b[2Kx", "back\\slash"], "names as text, exactly")
    expect_eq([o.get("name_hex") for o in objects[10:12]], ["626164FF", "6C6F6E65EDA0BD"], "names that are no text")


# --- Checks ---------------------------------------------------------------------------

# Two directories holding the same name: no duplicate.
BASE = [Dir("d"), File("a", 1, b"alpha"), File("b", 1, b"bravo!"), Dir("e"), File("a", 1, b"c"), File("z", 0, b"zulu")]
NAMES_SIZE = len(b"d\na\nb\ne\nc\nz\n")


def damaged(change):
    """BASE written whole, then changed as a damaged copy would be."""
    def build():
        data_end = write_archive("a.tree", BASE)
        with open("a.tree", "rb") as f:
            blob = bytearray(f.read())
        write_raw("a.tree", bytes(change(blob, data_end, len(blob) - 8 - 40 * len(BASE))))
    return build


def trailer_of(blob):
    return struct.unpack("<II", bytes(blob[-8:]))


def with_trailer(blob, names, records):
    return blob[:-8] + struct.pack("<II", names, records)


def length_plus(k, delta):
    def change(blob, data_end, records_at):
        blob[records_at + 40 * k] += delta
        return blob
    return change


def index_larger(size, names, records):
    return ("archive: error: index regions larger than the archive: %d bytes of names and %d bytes of records in "
            "a file of %d bytes (cut short, extended, or no tree archive)" % (names, records, size))


def stray(blob, n):
    return with_trailer(blob[:-8] + b"\x7f" * n + blob[-8:], NAMES_SIZE, 40 * len(BASE) + n)


MORE = "archive: error: contents of the files add up to %d bytes, more than the 16 bytes of the data region: " \
       "a damaged length, or a data region cut short"
FEWER = "archive: error: contents of the files add up to %d bytes, fewer than the %d bytes of the data region: " \
        "a damaged length, or bytes added to the data region"
CHAIN = [Dir("a", k) for k in range(255)] + [File("z", 255)]
# The longest path untree can build (under "/"), and one unit more.
LONGEST = [Dir("p" * 11000), Dir("q" * 11000, 1), File("r" * 10760, 2)]
LONG = LONGEST[:2] + [File("r" * 10761, 2)]
# 2,000 names, each with a subtree the walk enters and leaves, then each name again.
MANY = [e for k in range(2000) for e in (Dir("d%04d" % k), File("x", 1))] + [File("d%04d" % k) for k in range(2000)]

def lengths(contents, data):
    return "archive corrupt: the contents of the files add up to %d bytes, but the name region starts at byte %d" % (
        contents, data)


def tar_file():
    with tarfile.open("a.tree", "w") as tar:
        tar.add(__file__, arcname="run.py")


def swapped_under_its_footer():
    """Two extended entries in each other's places, each with its own check,
    under the footer of their first order: only the index checksums tell."""
    entries = [(b"a", 0, 0x20, 0x1000 | 0o644, b""), (b"b", 0, 0x20, 0x1000 | 0o644, b"")]
    first, swapped = harness.extended_archive(entries), harness.extended_archive(entries[::-1])
    footer_at = len(first) - 8 - 80 - harness.FOOTER_BYTES
    footer = slice(footer_at, footer_at + harness.FOOTER_BYTES)
    write_raw("a.tree", swapped[:footer.start] + first[footer] + swapped[footer.stop:])


NOT_ARCHIVE = "not a tree archive: <a.tree>: "
# A directory listed twice whose copies hold the same name; a file, then a
# directory of its name; name lines that end, then a depth that jumps.
TWICE = [Dir("A"), File("x", 1, b"1"), File("b"), Dir("A"), File("x", 1, b"2"), File("y", 1)]
FILE_THEN_DIR = [File("f", 0, b"f"), Dir("f"), File("in", 1, b"in")]
ENDED_THEN_DEEP = [Dir("a"), Dir("b", 1), File("c"), File("d", 5)]

# (what, how the archive is made, check lines, what untree says of the
# archive: a stop, its lengths, names it skips; NOT_ARCHIVE lines are
# compared up to the reason)
CHECK_ROWS = [
    ("sound", damaged(lambda b, d, r: b), [], []),
    ("length byte one up", damaged(length_plus(1, 1)), [MORE % 17], [lengths(17, 16)]),
    ("length byte one down", damaged(length_plus(2, -1)), [FEWER % (15, 16)], [lengths(15, 16)]),
    ("truncated by a byte", damaged(lambda b, d, r: b[:-1]), ["TRAILER"], [NOT_ARCHIVE]),
    ("a byte appended", damaged(lambda b, d, r: b + b"\n"), ["TRAILER"], [NOT_ARCHIVE]),
    ("name region cut by its last line", damaged(lambda b, d, r: with_trailer(b[:d + NAMES_SIZE - 2] + b[d + NAMES_SIZE:],
                                                                                NAMES_SIZE - 2, 40 * len(BASE))),
     ["entry 6: error: name lines end before the records"], ["archive corrupt at entry 6: name lines end before the records"]),
    ("record region cut by its last record", damaged(lambda b, d, r: with_trailer(b[:-48] + b[-8:], NAMES_SIZE,
                                                                                    40 * len(BASE) - 40)),
     ["archive: error: more name lines than records: 2 bytes after the last record's name", FEWER % (12, 16)],
     [lengths(12, 16)]),
    ("5 stray bytes in the record region", damaged(lambda b, d, r: stray(b, 5)),
     ["archive: error: record region does not end on a record: 5 bytes left over"], []),
    ("35 stray bytes in the record region", damaged(lambda b, d, r: stray(b, 35)),
     ["archive: error: record region does not end on a record: 35 bytes left over"],
     ["archive corrupt at entry 7: record region does not end on a record"]),
    ("not an archive", lambda: write_raw("a.tree", b"tree?"),
     ["archive: error: not a tree archive: 5 bytes, shorter than its 8-byte trailer"], [NOT_ARCHIVE]),
    ("0 bytes", lambda: write_raw("a.tree", b""),
     ["archive: error: not a tree archive: 0 bytes, shorter than its 8-byte trailer"], [NOT_ARCHIVE]),
    ("7 bytes", lambda: write_raw("a.tree", b"\0" * 7),
     ["archive: error: not a tree archive: 7 bytes, shorter than its 8-byte trailer"], [NOT_ARCHIVE]),
    ("4 KiB of zeros", lambda: write_raw("a.tree", bytes(4096)),
     ["archive: error: not a tree archive: no entries, yet 4088 bytes stand before its index"], [NOT_ARCHIVE]),
    ("a tar file", tar_file, ["TAR"], [NOT_ARCHIVE]),
    ("nesting", lambda: write_archive("a.tree", [File("f", 1, b"1"), Dir("d"), File("x", 2, b"2"), File("y", 1, b"3"),
                                                 File("w", 2, b"4")]),
     ["entry 1 <\\f>: error: first entry is not at depth 0", "entry 3 <d\\\\x>: error: depth rises by more than one",
      "entry 5 <d\\y\\w>: error: entry inside a file"], ["archive corrupt at entry 1: first entry is not at depth 0"]),
    ("depth 255", lambda: write_archive("a.tree", CHAIN),
     ["entry 256 <%s\\z>: error: depth 255" % "\\".join(["a"] * 255)], ["archive corrupt at entry 256: depth 255"]),
    ("name line of 65536 bytes", lambda: write_archive("a.tree", [Dir("d"), File(b"n" * 65536, 1), File("g", 1)]),
     ["entry 2: error: name line of 65536 bytes or more"],
     ["archive corrupt at entry 2: name line of 65536 bytes or more"]),
    ("path too long", lambda: write_archive("a.tree", LONG),
     ["entry 3 <%s>: error: path too long for untree to build: 32763 bytes, 32763 UTF-16 units"
      % "\\".join(e.name for e in LONG)], ["archive corrupt at entry 3: path too long"]),
    # Sound under the root "/", too long under a longer one, as untree's "out".
    ("the longest path", lambda: write_archive("a.tree", LONGEST), [], ["archive corrupt at entry 3: path too long"]),
    ("unsafe and duplicate names", lambda: write_archive("a.tree", [Dir(".."), File("in", 1), File("a"), File("a")]),
     ["entry 1 <..>: error: unsafe name: untree refuses it and everything inside it",
      "entry 4 <a>: error: same name as entry 3: this one is not extracted"],
     ["duplicate name skipped: <a> (entry 4, the same name as entry 3)", "unsafe name skipped: <..>"]),
    ("a name again in a large directory", lambda: write_archive("a.tree", MANY),
     ["entry %d <d%04d>: error: same name as entry %d: this one is not extracted" % (4001 + k, k, 2 * k + 1)
      for k in range(2000)],
     ["duplicate name skipped: <d%04d> (entry %d, the same name as entry %d)" % (k, 4001 + k, 2 * k + 1)
      for k in range(2000)]),
    ("a directory twice, a name in both", lambda: write_archive("a.tree", TWICE),
     ["entry 5 <A\\x>: error: same name as entry 2: this one is not extracted"],
     ["duplicate name skipped: <A\\x> (entry 5, the same name as entry 2)"]),
    ("a file, then a directory of its name", lambda: write_archive("a.tree", FILE_THEN_DIR),
     ["entry 2 <f>: error: same name as entry 1: this one is not extracted"],
     ["duplicate name skipped: <f> (entry 2, the same name as entry 1)"]),
    ("index checksums that do not hold", swapped_under_its_footer, ["archive: error: index checksum mismatch"],
     ["archive corrupt: index checksum mismatch"]),
    # untree-list once crashed here: the levels the depth skipped were
    # placed after the name lines had ended.
    ("name lines ended, then a depth that jumps", lambda: write_archive("a.tree", ENDED_THEN_DEEP, drop_names=2),
     ["entry 3: error: name lines end before the records", "entry 4: error: depth rises by more than one"],
     ["archive corrupt at entry 3: name lines end before the records"]),
]


@case
def check_finds_each_problem(t):
    """One archive per problem class, most made by damaging a sound one the
    way copies get damaged: --check prints each problem once, where it is,
    and the totals; exit 2 (0 when sound). A listing stops where untree
    stops, at the same entry and for the same reason, and reports the rest
    after the entries. untree says what it stops at, the lengths that do not
    add up and the names it skips (exit 2), or refuses what is no tree
    archive (exit 1), exactly where --check finds an error."""
    for what, build, lines, untree_lines in CHECK_ROWS:
        build()
        with open("a.tree", "rb") as f:
            blob = f.read()
        if lines == ["TRAILER"]:
            lines = [index_larger(len(blob), *trailer_of(blob))]
        if lines == ["TAR"]:
            lines = ["archive: error: not a tree archive: no entries, yet %d bytes stand before its index"
                     % (len(blob) - 8)]
        rc, out, err = t.list("--check", "a.tree")
        errors = [line for line in out[:-1] if b": warning: " not in line]
        expect_eq((rc, errors, err), (2 if lines else 0, [x.encode() for x in lines], []), "--check, " + what)
        expect(re.fullmatch(rb"entries=\d+ directories=\d+ files=\d+ bytes=\d+ errors=%d warnings=\d+" % len(lines),
                            out[-1]), "totals line, %s: %r" % (what, out[-1]))
        rc, said = t.untree_said("a.tree")
        if untree_lines == [NOT_ARCHIVE]:
            expect(rc == 1 and len(said) == 1 and said[0].startswith(NOT_ARCHIVE.encode()), "untree, %s: %d %r"
                   % (what, rc, said))
            continue
        expect_eq((rc, said), (2 if untree_lines else 0, [x.encode() for x in untree_lines]), "untree, " + what)
        # A listing says it on standard error: all of it after the entries,
        # or the one line where untree stops too.
        said = [b"untree-list: a.tree: " + x.encode().replace(b"archive: ", b"", 1) for x in lines]
        rc, out, err = t.list("--names", "a.tree")
        if not lines or not any(x.startswith("archive corrupt at entry") for x in untree_lines):
            region = [x for x in said if b": entry " not in x]
            expect_eq((rc, err), (2 if region else 0, region), "listing, " + what)
            continue
        expect_eq((rc, err), (2, said[:1]), "listing, " + what)


@case
def portability_warnings(t):
    """Names untree creates on Linux that Windows (or macOS) cannot take as
    they are: warnings only, exit 0."""
    names = [b"tab\tname", "a<b", "dot.", "blank ", "nul.txt", "COM1", "README", "readme", "\u0424\u0430\u0439\u043b",
             "\u0444\u0430\u0439\u043b", "\u00e9" * 128, "x" * 256, b"bad\xff"]
    # Directories met again are merged, not refused: a warning, where a
    # file met again is an error.
    write_archive("a.tree", [File(n) for n in names] + [Dir("d"), Dir("d"), Dir("D")])
    rc, out, err = t.list("--check", "a.tree")
    windows = ": not allowed on Windows"
    want = [
        "entry 1 <tab\\x09name>: warning: control character in the name" + windows,
        "entry 2 <a<b>: warning: one of < > \" | ? * in the name" + windows,
        "entry 3 <dot.>: warning: name ends with a dot or a blank: Windows programs cannot open it",
        "entry 4 <blank >: warning: name ends with a dot or a blank: Windows programs cannot open it",
        "entry 5 <nul.txt>: warning: reserved device name on Windows: NUL",
        "entry 6 <COM1>: warning: reserved device name on Windows: COM1",
        "entry 8 <readme>: warning: same name up to case as entry 7: on Windows this one is not extracted",
        "entry 10 <\u0444\u0430\u0439\u043b>: warning: same name up to case as entry 9: on Windows this one is not "
        "extracted",
        "entry 11 <%s>: warning: name longer than 255 bytes in UTF-8: too long for Linux" % ("\u00e9" * 128),
        "entry 12 <%s>: warning: name longer than 255 UTF-16 units: too long for Windows" % ("x" * 256),
        "entry 12 <%s>: warning: name longer than 255 bytes in UTF-8: too long for Linux" % ("x" * 256),
        "entry 13 <bad\\xFF>: warning: name is not valid text",
        "entry 15 <d>: warning: same name as entry 14: the two directories are merged",
        "entry 16 <D>: warning: same name up to case as entry 14: on Windows the two directories are merged",
        "entries=16 directories=3 files=13 bytes=0 errors=0 warnings=14"]
    if t.wine:
        # There the system's own comparison finds the names one: what untree
        # does not extract there is an error.
        want[6] = "entry 8 <readme>: error: same name as entry 7: this one is not extracted"
        want[7] = "entry 10 <\u0444\u0430\u0439\u043b>: error: same name as entry 9: this one is not extracted"
        want[13] = "entry 16 <D>: warning: same name as entry 14: the two directories are merged"
        want[14] = "entries=16 directories=3 files=13 bytes=0 errors=2 warnings=12"
    expect_eq((rc, err, out), (2 if t.wine else 0, [], [x.encode() for x in want]), "--check")


@case
def packed_trees_pass_the_check(t):
    """What untree-pack writes, untree-list finds sound, and lists as it is:
    a tree of awkward names here, and /usr/include (Linux)."""
    if not t.args.pack:
        raise Skip("no untree-pack given")
    tree = {"docs/a.txt": b"alpha", "docs/caf\u00e9/" + SMILE: b"", "docs/empty/": None, "z.bin": b"\0" * 70000,
            "deep/" + "/".join(["d%02d" % k for k in range(40)]) + "/leaf": b"leaf"}
    for path, content in tree.items():
        os.makedirs(os.path.join("src", os.path.dirname(path)), exist_ok=True)
        if content is not None:
            write_raw(os.path.join("src", path), content)
    p = t.run_program(t.args.pack, ["src", "src.tree"])
    expect_eq(p.returncode, 0, "untree-pack (stderr %r)" % p.stderr)
    rc, out, err = t.list("--check", "src.tree")
    expect_eq((rc, err, out[-1]), (0, [], b"entries=48 directories=44 files=4 bytes=70009 errors=0 warnings=0"),
              "check of the packed tree")
    rc, out, err = t.list("--json", "src.tree")
    files = {o["path"]: o["size"] for o in map(json.loads, out[:-1]) if o["kind"] == "file"}
    expect_eq(files, {k.replace("/", "\\"): len(v) for k, v in tree.items() if v is not None}, "files listed")
    if t.wine or not os.path.isdir("/usr/include"):
        return
    p = t.run_program(t.args.pack, ["/usr/include", "include.tree"])
    expect(p.returncode in (0, 2), "untree-pack of /usr/include: %d" % p.returncode)
    rc, out, err = t.list("--check", "include.tree")
    expect_eq((rc, err), (0, []), "check of /usr/include")
    expect(b" errors=0 " in out[-1] and int(out[-1].split(b" ")[0][8:]) > 1000, "totals: %r" % out[-1])


@case
def reader_that_goes_away(t):
    """`untree-list big.tree | head -1`: the write that finds the pipe closed
    ends in exit status 1 and one message, not in SIGPIPE's silent death."""
    write_archive("big.tree", [File("f%05d" % i) for i in range(20000)])  # far more than a pipe holds
    cmd, env = t.command(t.args.list, ["big.tree"])
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = p.stdout.readline()
    p.stdout.close()
    err, rc = p.stderr.read(), p.wait(timeout=300)
    expect_eq(first.rstrip(b"\r\n"), row("----a", 0, W, "f00000"), "the first line")
    lines = text_lines(err, t.wine, "stderr").split(b"\n")
    said = b"untree-list: cannot write to standard output: "
    expect_eq((rc, len(lines), lines[-1]), (1, 2, b""), "exit status and lines on stderr (%r)" % err)
    expect_eq(lines[0][:len(said)], said, "message")
    # Windows says it in words of its own.
    expect_eq(lines[0][len(said):] if not t.wine else b"Broken pipe", b"Broken pipe", "the system's text")
    expect(len(lines[0]) > len(said), "no system's text")

@case
def progress_line_on_a_terminal_only(t):
    """--check on a terminal shows how far the reading of contents is, cut to
    the row (40 columns here), held 0.6 s inside a large file by the
    preloaded library (Linux) so that a line is due; a problem line and the
    totals clear it first, so the screen ends as a file's lines. A file and
    a pipe, held the same way, get exactly the bytes they always did."""
    if not t.args.pack:
        raise Skip("no untree-pack given")
    os.makedirs("src/a")
    write_raw("src/a/big.bin", bytes(range(256)) * (3 << 12))  # three reads of 1 MiB
    write_raw("src/z.txt", b"zeta content")
    p = t.run_program(t.args.pack, ["src", "a.tree"])
    expect_eq(p.returncode, 0, "untree-pack (stderr %r)" % p.stderr)
    blob = bytearray(open("a.tree", "rb").read())
    at = blob.find(b"zeta content")
    blob[at] ^= 1
    write_raw("a.tree", bytes(blob))
    want = [b"entry 3 <z.txt>: error: checksum mismatch",
            b"entries=3 directories=1 files=2 bytes=3145740 errors=1 warnings=0"]
    with open("file.out", "wb") as f:
        p = t.run_program(t.args.list, ["--check", "a.tree"], stdout=f)
    today = open("file.out", "rb").read()
    expect_eq((p.returncode, text_lines(today, t.wine, "stdout"), p.stderr), (2, b"\n".join(want) + b"\n", b""),
              "the check into a file")
    held = t.args.read_faults and not t.wine

    def holding(run):
        """`run(env, pass_fds)` with the second read of the contents held
        until 0.6 s after it began; what it returns."""
        if not held:
            return run({}, ())
        told, tell = os.pipe()
        go, wait = os.pipe()

        def release():
            # A line is due half a second after the last one at most.
            with os.fdopen(told, "rb") as f:
                if f.readline():
                    time.sleep(0.6)
                os.write(wait, b"g")
        helper = threading.Thread(target=release)
        helper.start()
        try:
            return run(dict(LD_PRELOAD=t.args.read_faults, UNTREE_FAULT_FILE=os.path.abspath("a.tree"),
                            UNTREE_HOLD_AT="%d-%d" % (1 << 20, 2 << 20), UNTREE_HOLD_FDS="%d,%d" % (tell, go)),
                       (tell, go))
        finally:
            os.close(tell)
            helper.join(300)
            for fd in (go, wait):
                os.close(fd)

    columns = 40
    rc, raw = holding(lambda env, fds: t.run_in_terminal(t.args.list, ["--check", "a.tree"], columns=columns,
                                                         env=env, pass_fds=fds))
    expect_eq(rc, 2, "exit status on the terminal")
    lines = list(re.finditer(rb"(checked (\d+) of 3145740 bytes \(\d+%\) [^\r\x1b]*)\r", raw))
    if held:
        expect(lines, "no progress line: %r" % raw[-300:])
        expect(all(0 < int(m.group(2)) < 3145740 for m in lines), "bytes checked: %r" % lines)
        expect(all(len(m.group(1)) == columns - 1 for m in lines), "not cut to the row: %r" % lines)
    screen = harness.terminal_screen(raw, columns)
    while screen and not screen[-1]:
        screen.pop()
    expect_eq(screen, [w.decode()[k:k + columns] for w in want for k in range(0, len(w), columns)], "the screen")

    def piped(env, fds):
        cmd, base = t.command(t.args.list, ["--check", "a.tree"])
        base.update(env)
        return subprocess.run(cmd, env=base, pass_fds=fds, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=300)
    p = holding(piped)
    expect_eq((p.returncode, p.stdout, p.stderr), (2, today, b""), "the check into a pipe")


def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("--list", required=True, help="the untree-list binary")
    parser.add_argument("--pack", help="the untree-pack binary")
    parser.add_argument("--read-faults", help="the library that holds reads of the archive (Linux)")
    args = harness.parse_arguments(parser)
    return harness.run_cases(harness.CASES, args, lambda scratch: Context(args, scratch), "untree-list-")


if __name__ == "__main__":
    sys.exit(main())
