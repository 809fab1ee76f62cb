#!/usr/bin/env python3
"""End-to-end tests of the extractor: archives written by treewriter, the real
binary run on them, and the tree on disk, the exit status and the output
checked afterwards.

    python3 tests/e2e/run.py --untree build/untree
    python3 tests/e2e/run.py --untree build-win/untree.exe --runner wine

Every case runs in a scratch directory of its own, which is also the
extractor's working directory; archive and destination are passed as relative
paths so the same cases hold under Wine, which maps that directory to Z:.
"""
import ctypes
import errno
import fcntl
import multiprocessing
import os
import re
import resource
import shutil
import stat
import struct
import subprocess
import tarfile
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
import harness  # noqa: E402
from harness import Failure, Skip, case, expect, expect_eq, text_lines  # noqa: E402
from treewriter import (ATTR_ARCHIVE, ATTR_READONLY, Dir, File, cesu8,  # noqa: E402
                        filetime_to_ns, ns_to_filetime, pack_tree, write_archive, write_raw)

CHUNK = 1048576
GIB4 = 1 << 32
DIR_WRITE = 132400000001234567  # directory times distinct from the files' own


# --- Output ------------------------------------------------------------------

STATUS = re.compile(rb"dirs=(-?\d+) files=(-?\d+) outbytes=(-?\d+) speed=(-?\d+) *\r")
LISTING = re.compile(rb"(.*) (-1|0|1)\Z", re.S)
REPORTS = {
    "createfile": re.compile(rb"createfile error with <(.*)>, attr=([0-9A-F]{4}), size=(\d+): (.*)\Z", re.S),
    "createdirectory": re.compile(rb"createdirectory error with <(.*)>, attr=([0-9A-F]{4}): (.*)\Z", re.S),
    "short": re.compile(rb"short content in <(.*)>, size=(\d+), written=(\d+): (.*)\Z", re.S),
    "settimes": re.compile(rb"settimes error with <(.*)>: (.*)\Z", re.S),
    "setattributes": re.compile(rb"setattributes error with <(.*)>, attr=([0-9A-F]{4}): (.*)\Z", re.S),
    "close": re.compile(rb"close error with <(.*)>: (.*)\Z", re.S),
    "unsafe": re.compile(rb"unsafe name skipped: <(.*)>\Z", re.S),
    "corrupt": re.compile(rb"archive corrupt at entry (\d+): (.*)\Z", re.S),
    "duplicate": re.compile(rb"duplicate name skipped: <(.*)> \(entry (\d+), the same name as entry (\d+)\)\Z", re.S),
    "lengths": re.compile(rb"archive corrupt: the contents of the files add up to (\d+) bytes, but the name region "
                          rb"starts at byte (\d+)\Z"),
    "notarchive": re.compile(rb"not a tree archive: <(.*)>: (.*)\Z", re.S),
    "output": re.compile(rb"standard output: (.*)\Z", re.S),
    "kept": re.compile(rb"newer file kept: <(.*)>\Z", re.S),
    "early": re.compile(rb"untree: (.*)\Z", re.S),
}


def message_ok(message):
    """The system's text: present, and no control byte left in it."""
    return len(message) > 0 and all(b >= 0x20 for b in message)


class Run:
    def __init__(self, rc, out, err, windows):
        self.rc, self.raw_out, self.raw_err = rc, out, err
        self.out = text_lines(out, windows, "stdout")
        self.err = text_lines(err, windows, "stderr")
        self.items = []  # ("list", path, value) / ("status", (dirs, files, outbytes, speed)) / ("newline",)
        i = 0
        while i < len(self.out):
            m = STATUS.match(self.out, i)
            if m:
                body = m.group(0)[:-1]
                expect(len(body) == max(78, len(body.rstrip(b" "))), "status line not padded to 78 columns: %r" % body)
                self.items.append(("status", tuple(int(g) for g in m.groups())))
                i = m.end()
                continue
            j = self.out.find(b"\n", i)
            expect(j >= 0, "stdout ends without a line end: %r" % self.out[i:])
            line = self.out[i:j]
            i = j + 1
            if not line:
                self.items.append(("newline",))
                continue
            m = LISTING.match(line)
            expect(m, "not a listing line: %r" % line)
            self.items.append(("list", m.group(1), int(m.group(2))))
        self.listing = [(it[1], it[2]) for it in self.items if it[0] == "list"]
        statuses = [it[1] for it in self.items if it[0] == "status"]
        self.status = statuses[-1] if statuses else None
        expect(not self.err or self.err.endswith(b"\n"), "stderr ends without a line end: %r" % self.err[-200:])
        self.err_lines = self.err.split(b"\n")[:-1] if self.err else []
        self.reports = []
        for line in self.err_lines:
            for kind, pattern in REPORTS.items():
                m = pattern.match(line)
                if m:
                    self.reports.append((kind,) + m.groups())
                    break
            else:
                raise Failure("unknown line on stderr: %r" % line)

    def expect_finished(self, rc, dirs=None, files=None, outbytes=None):
        """A walk that ran: the last status line, then the newline, and the exit status."""
        expect_eq(self.rc, rc, "exit status (stderr %r)" % self.err[:2000])
        expect(len(self.items) >= 2 and self.items[-1] == ("newline",) and self.items[-2][0] == "status",
               "output does not end with a status line and a newline: %r" % self.out[-300:])
        expect(self.items.count(("newline",)) == 1, "more than one bare newline: %r" % self.out[-300:])
        statuses = [it[1][:3] for it in self.items if it[0] == "status"]
        expect(all(a <= b for x, y in zip(statuses, statuses[1:]) for a, b in zip(x, y)),
               "counters went down between status lines: %r" % statuses)
        d, f, o, speed = self.status
        for name, want, got in (("dirs", dirs, d), ("files", files, f), ("outbytes", outbytes, o)):
            if want is not None:
                expect_eq(got, want, "status " + name)
        for kind, *fields in self.reports:
            message = fields[-1]
            if kind in ("createfile", "createdirectory", "short", "settimes", "setattributes", "close"):
                expect(message_ok(message), "report message empty or with control bytes: %r" % message)

    def of_kind(self, kind):
        return [r[1:] for r in self.reports if r[0] == kind]


# --- The scratch directory of a case -------------------------------------------

class Context(harness.Context):
    def run(self, *args, merged=False, cwd=None, preexec_fn=None, timeout=900):
        """Runs the extractor with `args` (str or bytes) from the scratch directory."""
        if merged:
            with open(os.path.join(self.scratch, "merged.out"), "w+b") as f:
                p = self.run_program(self.untree, args, stdout=f, stderr=subprocess.STDOUT, cwd=cwd, timeout=timeout)
                f.seek(0)
                return p.returncode, text_lines(f.read(), self.wine, "merged output")
        p = self.run_program(self.untree, args, cwd=cwd, preexec_fn=preexec_fn, timeout=timeout)
        return Run(p.returncode, p.stdout, p.stderr, self.wine)

    def shell(self, command, timeout=900, **env):
        """Runs `command` with bash, as a user would type it, "$UNTREE" being
        the extractor (with Wine in front when the suite runs there) and
        `env` added to the environment; stdout and stderr captured."""
        env = dict(os.environ, UNTREE=("wine " if self.wine else "") + self.untree, **env)
        if self.wine:
            env.update(WINEDEBUG="-all", LC_ALL="C.UTF-8")
        return subprocess.run(["bash", "-c", command], env=env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def full(self, dest, *names):
        """The path the extractor hands to the create call for `names` under `dest`."""
        root = os.fsencode(os.path.abspath(dest))
        if self.wine:
            root = b"Z:" + root.replace(b"/", b"\\")
        parts = [n if isinstance(n, bytes) else cesu8(n) for n in names]
        return b"\\\\?\\" + b"\\".join([root] + parts)


def rel_paths(entries):
    """Relative paths as the extractor builds them: names joined by backslashes."""
    stack, out = [], []
    for e in entries:
        del stack[e.depth:]
        stack.append(e.name_bytes())
        out.append(b"\\".join(stack))
    return out


def expected_tree(entries, selected=lambda rel: True):
    tree = {}
    for e, rel in zip(entries, rel_paths(entries)):
        if selected(rel):
            hole = b"\0" * (e.length - len(e.content) - len(e.tail))
            tree[rel.replace(b"\\", b"/")] = None if e.is_dir else e.content + hole + e.tail
    return tree


def snapshot(root):
    """The tree under `root`: {b"a/b": content or None for a directory}, at
    any depth. It lists directories and reads files: take times before it."""
    tree = {}
    for rel, st, dir_fd, name in harness.walk_tree(root):
        if stat.S_ISDIR(st.st_mode):
            tree[rel] = None
        else:
            with os.fdopen(os.open(name, os.O_RDONLY, dir_fd=dir_fd), "rb") as f:
                tree[rel] = f.read()
    return tree


def expect_times(path, entry, what=None):
    st = os.stat(path, follow_symlinks=False)
    what = what or os.fsdecode(path)
    expect_eq(st.st_mtime_ns, filetime_to_ns(entry.write), "last-write time of " + what)
    expect_eq(st.st_atime_ns, filetime_to_ns(entry.access), "last-access time of " + what)


def status0_line(windows):
    return b"dirs=0 files=0 outbytes=0 speed=0".ljust(78) + b"\r" + (b"\r\n" if windows else b"\n")


# --- Command line and early failures -------------------------------------------

def early_line(t, p, what):
    """A run that could not start: nothing on standard output, one line on
    standard error naming the program; exit status 1. Returns the line."""
    err = text_lines(p.stderr, t.wine, "stderr")
    expect_eq((p.returncode, p.stdout), (1, b""), "%s: exit status and stdout (stderr %r)" % (what, err))
    expect(err.startswith(b"untree: ") and err.count(b"\n") == 1 and err.endswith(b"\n"),
           "%s: not one line naming the program: %r" % (what, err))
    return err[len(b"untree: "):-1]


# What a run that cannot start says: the command (bash, $UNTREE the
# extractor) and a pattern of its one line after "untree: ".
EARLY = [
    ("$UNTREE missing.tree out", rb"cannot open archive <missing\.tree>: (No such file or directory|"
                                 rb"File not found\.|The system cannot find the file specified\.)"),
    ("$UNTREE dir.tree out", rb"cannot open archive <dir\.tree>: .+"),
    # The arguments the wrong way round: the archive is the second.
    ("$UNTREE out a.tree", rb"cannot open archive <out>: .+ \(ARCHIVE comes first: untree ARCHIVE DESTINATION\)"),
    ("$UNTREE - out < a.tree", rb"an archive is read from its end, so it cannot come through standard input.*"),
    ("$UNTREE -v a.tree out", rb"unknown option <-v>; untree --help lists the options"),
    ("$UNTREE -qx a.tree out", rb"unknown option <-x>; untree --help lists the options"),
    ("$UNTREE --verbose a.tree out", rb"unknown option <--verbose>; untree --help lists the options"),
    ("$UNTREE -q", rb"ARCHIVE is missing; untree --help tells more"),
    # After --, and after ARCHIVE, nothing is an option.
    ("$UNTREE -- -q out", rb"cannot open archive <-q>: .+"),
    ("$UNTREE missing.tree -q", rb"cannot open archive <missing\.tree>: .+"),
    # The destination is opened once, at the start, and never created.
    ("$UNTREE a.tree missing", rb"cannot open destination <missing>: .+"),
    ("$UNTREE a.tree a.tree", rb"cannot open destination <a\.tree>: .+"),
    ("$UNTREE -q -k a.tree missing/deeper", rb"cannot open destination <missing/deeper>: .+"),
]


@case
def command_line_and_early_failures(t):
    """No arguments: a short usage on stderr, 0. Every run that cannot start
    says why in one line on stderr, with nothing on stdout, and exits 1:
    a missing archive, anything but a regular file as ARCHIVE (a pipe and
    "-" are told an archive needs a file), the arguments the wrong way round,
    an unknown option, a destination that is missing or no directory."""
    p = t.run_program(t.untree, [])
    err = text_lines(p.stderr, t.wine, "stderr")
    expect_eq((p.returncode, p.stdout), (0, b""), "no arguments")
    expect(err.startswith(b"Usage: untree [OPTION...] ARCHIVE [DESTINATION [FILTER...]]\n") and
           err.endswith(b"untree --help tells more.\n"), "usage: %r" % err)
    write_archive("a.tree", [File("f", content=b"x")])
    # Only a regular file can be read from its end; nothing else can be
    # opened as an archive, whatever stands at the path or comes through it.
    os.mkdir("dir.tree")
    os.mkfifo("fifo.tree")
    os.mkdir("out")
    rows = list(EARLY)
    # Wine opens a FIFO, /dev/fd and /dev/stdin in its server, not in the
    # program, and tells it what it found there.
    if t.wine:
        rows += [("$UNTREE fifo.tree out", rb"cannot (open|read) archive <fifo\.tree>: .+")]
    else:
        rows += [("$UNTREE fifo.tree out", rb"cannot read archive <fifo\.tree>: not a file; an archive is read "
                                           rb"from its end, so it needs a file, not a pipe or a device"),
                 ("$UNTREE <(cat a.tree) out", rb"cannot read archive </dev/fd/\d+>: not a file; .*"),
                 ("cat a.tree | $UNTREE /dev/stdin out", rb"cannot read archive </dev/stdin>: not a file; .*")]
    for command, pattern in rows:
        line = early_line(t, t.shell(command, timeout=120), command)
        expect(re.fullmatch(pattern, line), "%s: %r" % (command, line))
    expect_eq(sorted(os.listdir(".")), ["a.tree", "dir.tree", "fifo.tree", "out"], "nothing created")
    expect_eq(os.listdir("out"), [], "nothing extracted")
    # The help wins over everything after it; /? asks for it on Windows.
    for args in (["--help", "a.tree"], ["-qh", "a.tree", "out"]) + ((["/?"],) if t.wine else ()):
        p = t.run_program(t.untree, args)
        expect_eq((p.returncode, p.stderr), (0, b""), "untree %s" % " ".join(args))
        expect(p.stdout.startswith(b"Usage: untree [OPTION...]"), "untree %s: %r" % (" ".join(args), p.stdout[:80]))
    if not t.wine:
        # /dev/stdin redirected from the archive names the file itself.
        p = t.shell("$UNTREE /dev/stdin out < a.tree")
        Run(p.returncode, p.stdout, p.stderr, False).expect_finished(0, files=1)
        expect_eq(snapshot("out"), {b"f": b"x"}, "extracted through /dev/stdin")
        # Elsewhere /? is a path as any other.
        line = early_line(t, t.run_program(t.untree, ["/?", "out"]), "untree /? out")
        expect(line.startswith(b"cannot open archive </?>: "), "untree /? out: %r" % line)
        # The backend refuses a root it could not tell from a built path.
        os.mkdir("back\\slash")
        line = early_line(t, t.run_program(t.untree, ["a.tree", "back\\slash"]), "backslash destination")
        expect_eq(line, b"cannot use destination <back\\slash>: its full path holds a backslash, "
                  b"which would be read as a separator", "destination holding a backslash")
        expect_eq(os.listdir("back\\slash"), [], "nothing extracted")


@case
def filter_length_limit(t):
    """A FILTER of 1,023 bytes is taken; 1,024 is refused with 1 and one line,
    also after another FILTER."""
    write_archive("a.tree", [File("a", content=b"aa"), File("b", content=b"bb")])
    os.mkdir("out")
    line = early_line(t, t.run_program(t.untree, ["a.tree", "out", "a", "a" * 1024]), "1024-byte filter")
    expect_eq(line, b"FILTER is longer than 1023 bytes: <" + b"a" * 40 + b"...>", "1024-byte filter")
    expect_eq(os.listdir("out"), [], "nothing extracted under a refused filter")
    r = t.run("a.tree", "out", "a" * 1023)
    # "a" is on the way to the path the filter names, which is not there.
    r.expect_finished(2, dirs=0, files=1, outbytes=2)
    expect_eq(r.of_kind("early"), [(b"FILTER <%s> is not in the archive" % (b"a" * 1023),)], "not found")
    expect_eq(r.listing, [(b"a", -1), (b"b", 1)], "listing under a 1023-byte filter")
    expect_eq(snapshot("out"), {b"a": b"aa"}, "tree")


# --- Archives without entries and the record region ------------------------------

@case
def archives_without_entries(t):
    """An archive without entries (8 zero bytes, or records_size 0 behind name
    lines): one status line, newline, 0. What is no tree archive (shorter
    than a trailer, 0 bytes and 7 included; a tar file or 4 KiB of zeros,
    whose last 8 bytes read as an empty index with bytes in front of it; an
    index that would begin before the file or beyond 2 GiB) is refused
    before anything is written: one line naming it, nothing on standard
    output, 1."""
    os.mkdir("out")
    # Name lines without records are never taken as names.
    write_archive("zero.tree", [], names=b"ghost\nghost2\n")
    write_raw("eight.tree", bytes(8))
    for archive in ("zero.tree", "eight.tree"):
        r = t.run(archive, "out")
        expect_eq((r.rc, r.raw_out, r.raw_err), (0, status0_line(t.wine), b""), archive)
    with tarfile.open("a.tar", "w") as tar:
        tar.add(__file__, arcname="run.py")
    entries = [File("a", 0, b"data")]
    size = write_archive("a.tree", entries) + 2 + 40 + 8
    rows = [("empty.tree", b"", b"0 bytes, shorter than its 8-byte trailer"),
            ("seven.tree", b"\x01" * 7, b"7 bytes, shorter than its 8-byte trailer"),
            ("zeros.tree", bytes(4096), b"no entries, yet 4088 bytes stand before its index"),
            ("a.tar", None, b"no entries, yet %d bytes stand before its index" % (os.path.getsize("a.tar") - 8))]
    for n, (names_size, records_size) in enumerate(((size, 40), (0x7FFFFFF0, 40), (2, 0xFFFFFFF0))):
        write_archive("t%d.tree" % n, entries, trailer=(names_size, records_size))
        rows.append(("t%d.tree" % n, None, b"its index would begin before the file does (%d bytes of names and %d "
                     b"bytes of records in a file of %d bytes)" % (names_size, records_size, size)))
    for archive, content, reason in rows:
        if content is not None:
            write_raw(archive, content)
        r = t.run(archive, "out")
        expect_eq((r.rc, r.raw_out, r.reports), (1, b"", [("notarchive", archive.encode(), reason)]), archive)
    expect_eq(os.listdir("out"), [], "nothing extracted")


@case
def record_region_remainders(t):
    """85-byte record region: 2 entries. A tail below 32 bytes ends the walk
    silently; 32 to 39 bytes would read trailer bytes as a record: corrupt."""
    entries = [File("one", content=b"first"), File("two", content=b"second")]
    for tail, corrupt in ((5, False), (31, False), (32, True), (39, True)):
        out = "out%d" % tail
        os.mkdir(out)
        write_archive("a.tree", entries, record_tail=b"\x7f" * tail)
        r = t.run("a.tree", out)
        r.expect_finished(2 if corrupt else 0, dirs=0, files=2, outbytes=11)
        expect_eq(r.listing, [(b"one", 0), (b"two", 0)], "listing, tail %d" % tail)
        expect_eq([c[0] for c in r.of_kind("corrupt")], [b"3"] if corrupt else [], "corrupt entry, tail %d" % tail)
        expect_eq(len(r.reports), 1 if corrupt else 0, "reports, tail %d" % tail)
        expect_eq(snapshot(out), {b"one": b"first", b"two": b"second"}, "tree, tail %d" % tail)


@case
def counts_and_default_destination(t):
    """3 directories and 10 empty files: dirs=3 files=10 outbytes=0 speed=0;
    d, d\\x, d\\y, e build as such; no DESTINATION means the current directory."""
    entries = [Dir("d"), File("x", 1), File("y", 1), Dir("e"), Dir("s", 1)]
    entries += [File("f%d" % i, 2) for i in range(8)]
    write_archive("a.tree", entries)
    os.mkdir("here")
    r = t.run("../a.tree", cwd="here")
    r.expect_finished(0, dirs=3, files=10, outbytes=0)
    expect_eq(r.status[3], 0, "speed")
    expect_eq(r.listing, [(p, 0) for p in rel_paths(entries)], "listing")
    expect_eq(r.listing[:4], [(b"d", 0), (b"d\\x", 0), (b"d\\y", 0), (b"e", 0)], "paths built over the previous")
    expect_eq(r.raw_err, b"", "stderr")
    expect_eq(snapshot("here"), expected_tree(entries), "tree")


@case
def status_line_on_terminals_40_80_200_wide(t):
    """On a terminal the status line is cut to the row, one column short of
    its width, instead of wrapping into orphan rows; every line after one
    (listing or report) clears the row first, so no tail of it is left; the
    final one stays as the last row. Inside one large file it moves on: the
    Linux build, held 0.6 s within the file's content by the preloaded
    library, shows its bytes so far before the read error after them is
    reported. Into a pipe every status line is the 78 columns it always was."""
    big = 10 * CHUNK
    entries = [File("first.txt", 0, b"1"), File("big.bin", 0, length=big), Dir("d"), File("last.txt", 1, b"22")]
    write_archive("a.tree", entries)
    held = t.args.read_faults and not t.wine
    faults = {}
    if held:
        # Held at the read of bytes 4 MiB on, unreadable from 9 MiB on (big.bin
    # starts at byte 1; on a terminal it is read 4 MiB at a time).
        faults = dict(LD_PRELOAD=t.args.read_faults, UNTREE_FAULT_FILE=os.path.abspath("a.tree"),
                      UNTREE_HOLD_AT="%d-%d" % (4 * CHUNK, 8 * CHUNK), UNTREE_FAULT_EIO="%d-%d" % (9 * CHUNK, big))
    for columns in (40, 80, 200):
        out = "out%d" % columns
        os.mkdir(out)
        if held:
            told, tell = os.pipe()
            go, wait = os.pipe()

            def release():
                # The throttle lets a line out 500 ms after the last one at most.
                with os.fdopen(told, "rb") as f:
                    if f.readline():
                        time.sleep(0.6)
                        os.write(wait, b"g")
            try:
                rc, raw = t.run_in_terminal(t.untree, ["a.tree", out], columns=columns, pass_fds=(tell, go),
                                            env=dict(faults, UNTREE_HOLD_FDS="%d,%d" % (tell, go)), beside=release)
            finally:
                for fd in (tell, go, wait):
                    os.close(fd)
        else:
            rc, raw = t.run_in_terminal(t.untree, ["a.tree", out], columns=columns)
        expect_eq(rc, 2 if held else 0, "exit status, %d columns" % columns)
        # Cut at 40 columns, the line may end inside the speed figure.
        statuses = list(re.finditer(rb"(dirs=\d+ files=(\d+) outbytes=(\d+) speed=\d* *)(?:\x1b\[K)?\r", raw))
        expect(statuses, "no status line on the terminal: %r" % raw[-300:])
        for m in statuses:
            # Wine's console drops the blanks at the end of a line.
            shown = len(m.group(1).rstrip() if t.wine else m.group(1))
            expect_eq(shown, min(len(m.group(1).rstrip()) if t.wine else 78, columns - 1),
                      "status line on %d columns: %r" % (columns, m.group(0)))
        want = [b"first.txt 0", b"big.bin 0"]
        if held:
            # Before the report on the content's end, so inside the file.
            short = raw.find(b"short content in <")
            inside = [m for m in statuses if m.group(2) == b"2" and 0 < int(m.group(3)) < big and m.start() < short]
            expect(inside, "no status line inside big.bin: %r" % raw[:short + 20])
            want.append(b"short content in <" + t.full(out, b"big.bin") + b">, size=%d, written=%d: " % (big, 9 * CHUNK - 1)
                        + os.strerror(errno.EIO).encode())
        want += [b"d 0", b"d\\last.txt 0", statuses[-1].group(1).rstrip()]
        rows = []
        for line in want:
            text = line.decode("utf-8")
            rows += [text[k:k + columns] for k in range(0, len(text), columns)]
        screen = harness.terminal_screen(raw, columns)
        while screen and not screen[-1]:
            screen.pop()
        expect_eq(screen, rows, "the screen, %d columns" % columns)
        expect(b"outbytes=%d" % (big + 3 if not held else 9 * CHUNK + 2) in statuses[-1].group(1),
               "final status: %r" % statuses[-1].group(1))
    # A pipe gets the line as ever, padded to 78 and nothing else.
    os.mkdir("piped")
    p = t.shell("set -o pipefail; $UNTREE a.tree piped | cat", **faults)
    r = Run(p.returncode, p.stdout, p.stderr, t.wine)
    r.expect_finished(2 if held else 0, dirs=1, files=3, outbytes=9 * CHUNK + 2 if held else big + 3)
    expect(b"\x1b" not in p.stdout, "a terminal's sequence in a pipe: %r" % p.stdout[-200:])


# --- Names -----------------------------------------------------------------

@case
def names_encodings_and_extra_lines(t):
    """CESU-8 names become proper file names: é, ह, and U+1F600 carried as its
    two surrogates becomes one 4-byte UTF-8 character; lines beyond the last
    record are ignored."""
    smile = b"\xed\xa0\xbd\xed\xb8\x80"
    entries = [Dir("caf\u00e9"), File("\u0939", 1, b"deva"), File(smile, 1, b"smile"),
               File("\U0001F600\u00e9.txt", 0, b"mixed")]
    write_archive("a.tree", entries, extra_names=[b"extra", b"more"])
    os.mkdir("out")
    r = t.run("a.tree", "out")
    r.expect_finished(0, dirs=1, files=3, outbytes=14)
    expect_eq([p for p, _ in r.listing], [b"caf\xc3\xa9", b"caf\xc3\xa9\\\xe0\xa4\xb9", b"caf\xc3\xa9\\" + smile,
                                         smile + b"\xc3\xa9.txt"], "listing (names as built)")
    expect_eq(snapshot("out"), {"café".encode(): None, "café/ह".encode(): b"deva", "café/😀".encode(): b"smile",
                                "😀é.txt".encode(): b"mixed"}, "tree")


@case
def carriage_return_in_name(t):
    """A CR before the LF stays in the name. Linux keeps it in the file name;
    Windows cannot hold a CR in a name, so there the create fails and is
    reported, with the CR shown in the path as built, and the walk goes on."""
    entries = [File(b"a\rb", 0, b"cr"), File("after", 0, b"own")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    expect_eq(r.listing, [(b"a\rb", 0), (b"after", 0)], "listing")
    if t.wine:
        r.expect_finished(2, dirs=0, files=2, outbytes=3)
        reports = r.of_kind("createfile")
        expect_eq([(p, a, s) for p, a, s, _ in reports], [(t.full("out", b"a\rb"), b"0020", b"2")], "report")
        expect_eq(snapshot("out"), {b"after": b"own"}, "tree")
    else:
        r.expect_finished(0, dirs=0, files=2, outbytes=5)
        expect_eq(snapshot("out"), {b"a\rb": b"cr", b"after": b"own"}, "tree")


# (name, refused under Windows with this message, or None: kept everywhere)
TRAILING = b"name ends with a dot or a blank (Windows would drop it)"
DEVICE = b"reserved device name on Windows"
WINDOWS_NAMES = [("trail.", TRAILING), ("sp ", TRAILING), ("CON", DEVICE), ("nul.txt", DEVICE),
                 ("Com9.tar.gz", DEVICE), ("lpt1 .x", DEVICE), ("aux", DEVICE), ("COM10", None), ("CONSOLE", None),
                 ("con-x.txt", None), (".dotted", None)]


@case
def names_windows_cannot_keep(t):
    """Names Windows itself treats apart (a dot or blank at the end, a
    device name with or without an extension) are refused by the Windows
    build before anything is made, a directory with everything inside it,
    each with a line that says why; the Linux build keeps them. Under Wine a
    path beyond what it can name (its Unix path over 4 KB) is reported as too
    long, never as a link."""
    entries = [File(name, 0, name.encode()) for name, _ in WINDOWS_NAMES]
    entries += [Dir("dir."), File("inside", 1, b"inside"), Dir("keep")]
    chain = [Dir("L" * 200, k + 1) for k in range(24)]
    entries += chain + [File("deep", 25, b"deep"), File("after", 0, b"after")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    if not t.wine:
        r.expect_finished(0)
        expect_eq(snapshot("out"), expected_tree(entries), "tree")
        return
    r.expect_finished(2)
    refused = {t.full("out", name): message for name, message in WINDOWS_NAMES if message}
    expect_eq({p: m for p, _, _, m in r.of_kind("createfile")}, refused, "files refused")
    directories = r.of_kind("createdirectory")
    expect_eq(directories[0], (t.full("out", "dir."), b"0010", TRAILING), "directory refused")
    # The first level Wine cannot name is made and refused; nothing below it.
    expect_eq(len(directories), 2, "directory reports")
    path, _, message = directories[1]
    expect(b"too long" in message and message != LINK_THERE, "the path beyond Wine's limit: %r" % message)
    held = path.count(b"\\" + b"L" * 200)
    expect(len(os.path.abspath("out")) + 201 * held > 4096, "refused at %d levels" % held)
    want = {k: v for k, v in expected_tree(entries).items() if b"L" not in k and not k.startswith(b"dir.")}
    for name, message in WINDOWS_NAMES:
        if message:
            del want[name.encode()]
    got = snapshot("out")
    expect_eq({k: v for k, v in got.items() if b"L" not in k}, want, "tree beside the chain")
    expect_eq(max(k.count(b"L" * 200) for k in got), held, "levels made of the chain")


# (name, as a terminal shows it): controls and the C1 control as \xNN, é as it
# is, U+1F600 stored as its two surrogates as the one character, a lone
# surrogate as its bytes.
ON_A_TERMINAL = [(b"esc\x1b[31mred", b"esc\\x1B[31mred"), (b"payload.sh\rREADME.txt", b"payload.sh\\x0DREADME.txt"),
                 (b"wipe\x1b[2K\rgone", b"wipe\\x1B[2K\\x0Dgone"), (b"c1\xc2\x9b31m", b"c1\\xC2\\x9B31m"),
                 (b"caf\xc3\xa9", b"caf\xc3\xa9"), (b"smile\xed\xa0\xbd\xed\xb8\x80", b"smile\xf0\x9f\x98\x80"),
                 (b"lone\xed\xa0\xbdx", b"lone\\xED\\xA0\\xBDx")]


@case
def names_shown_not_obeyed_on_a_terminal(t):
    """On a terminal, listing and report lines show a name's controls as \\xNN,
    and a root's bytes that are no UTF-8 too; the same run into a file writes
    every byte as it is. Wine gives the program a console there, which shows
    é as the character it is."""
    # Each file fails: a file stands where their directory goes.
    write_archive("a.tree", [Dir("d")] + [File(name, 1, b"x") for name, _ in ON_A_TERMINAL])
    if t.wine:
        dest, shown_dest = "dest", "dest"
    else:
        dest, shown_dest = b"lat\xe9/dest", b"lat\\xE9/dest"
    os.makedirs(dest)
    write_raw(os.path.join(dest, b"d" if isinstance(dest, bytes) else "d"), b"")
    rc, merged = t.run("a.tree", dest, merged=True)
    expect_eq(rc, 2, "exit status into a file")
    lines = merged.split(b"\n")
    expect(lines[0] == b"d 0" and lines[1].startswith(b"createdirectory error with <" + t.full(dest, "d") + b">"),
           "the directory that cannot be made: %r" % lines[:2])
    for i, (name, _) in enumerate(ON_A_TERMINAL):
        expect_eq(lines[2 * i + 2], b"d\\" + name + b" 0", "listing line in a file")
        report = b"createfile error with <" + t.full(dest, "d", name) + b">, attr=0020, size=1: "
        expect(lines[2 * i + 3].startswith(report), "report line in a file: %r" % lines[2 * i + 3])

    rc, screen = t.run_in_terminal(t.untree, ["a.tree", dest])
    expect_eq(rc, 2, "exit status on a terminal")
    if t.wine:
        # The console draws lines with sequences of its own.
        screen = re.sub(rb"\x1b\[(\?25[lh]|K)", b"", screen)
    # Status lines come when the clock says; each keeps its carriage return,
    # and what follows one clears its row first.
    expect(STATUS.search(screen), "no status line on the terminal: %r" % screen[-300:])
    screen, want = STATUS.sub(b"", re.sub(rb"(?<=\r)\r\x1b\[K", b"", screen)), STATUS.sub(b"", merged)
    want = want.replace(t.full(dest), t.full(shown_dest))
    for name, shown in ON_A_TERMINAL:
        if t.wine and shown.startswith(b"smile"):
            # It is handed the pair, but keeps a UTF-16 unit per cell, so
            # each half shows as a replacement mark.
            shown = b"smile" + "\ufffd\ufffd".encode()
        want = want.replace(name, shown)
    if t.wine:
        # It also trims the blanks at the ends of lines.
        screen = re.sub(rb" *\r*\n", b"\n", screen)
        want = re.sub(rb" *\n", b"\n", want)
    else:
        want = want.replace(b"\n", b"\r\n")
    expect_eq(screen, want, "what the terminal received")


@case
def destination_and_working_directory_not_utf8(t):
    """A Linux path is bytes: a destination, and a working directory for the
    default one, that are not UTF-8 are used as they are, and reports show
    their bytes; a lone surrogate in a name (low, high at the end, high
    before an ordinary character) keeps its own three bytes."""
    t.linux_only("Windows paths are UTF-16 already")
    lone = [b"sur\xed\xb3\xa9", b"hi\xed\xa0\xbd", b"\xed\xa0\xbdx"]
    entries = [Dir("d"), File("f", 1, b"ff")] + [File(name, 0, b"s") for name in lone] + [File("b", 0, b"bb")]
    write_archive("a.tree", entries)
    tree = {b"d": None, b"d/f": b"ff", b"b": b"bb", **{name: b"s" for name in lone}}
    os.makedirs(b"w\xe9/sub")
    r = t.run("../../a.tree", cwd=b"w\xe9/sub")
    r.expect_finished(0, dirs=1, files=5, outbytes=7)
    expect_eq(snapshot(b"w\xe9/sub"), tree, "tree in the working directory")

    latin = b"lat\xe9"
    os.makedirs(latin + b"/b")  # a directory where the file b goes: reported
    r = t.run("a.tree", latin)
    r.expect_finished(2, dirs=1, files=5, outbytes=5)
    expect_eq([x[:3] for x in r.of_kind("createfile")], [(t.full(latin, "b"), b"0020", b"2")], "report")
    expect_eq(snapshot(latin), {**tree, b"b": None}, "tree in the destination")


# --- Contents --------------------------------------------------------------

@case
def contents_and_chunks(t):
    """An empty file reads nothing; 2 * 1048576 + 1 bytes arrive whole; a
    directory's length fields are ignored; each file keeps its own bytes."""
    big = bytes((i * 7 + i // 251) & 0xFF for i in range(2 * CHUNK + 1))
    entries = [File("empty"), File("big", 0, big), Dir("d", size_field=12345), File("small", 1, b"small"),
               File("empty2", 1), File("last", 0, b"\x00last\xff")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    r.expect_finished(0, dirs=1, files=5, outbytes=len(big) + 5 + 6)
    expect_eq(r.raw_err, b"", "stderr")
    got = snapshot("out")
    expect(got[b"big"] == big, "big file differs (length %d)" % len(got[b"big"]))
    expect_eq(got, expected_tree(entries), "tree")


@case
def content_length_above_4gib(t):
    """Content length 2^32 + 5 (size_high 1, size_low 5) is extracted in full
    from a sparse archive, and the next file gets its own bytes."""
    t.linux_only("writes 4 GiB through Wine's file calls; too slow for this suite "
                 "(size_high under Wine: short_data_region_and_size_high)")
    entries = [File("big", 0, b"HEAD", length=GIB4 + 5, tail=b"TAIL!"), File("after", 0, b"own")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    try:
        r = t.run("a.tree", "out")
        r.expect_finished(0, dirs=0, files=2, outbytes=GIB4 + 5 + 3)
        expect_eq(os.path.getsize("out/big"), GIB4 + 5, "size of big")
        expect_times("out/big", entries[0])
        with open("out/big", "rb") as f:
            head = f.read(4)
            f.seek(GIB4 - 4)
            middle = f.read(4)
            f.seek(-5, os.SEEK_END)
            tail = f.read()
        expect_eq((head, middle, tail), (b"HEAD", b"\0" * 4, b"TAIL!"), "bytes of big")
        expect_eq(open("out/after", "rb").read(), b"own", "after")
    finally:
        shutil.rmtree("out")


@case
def short_data_region_and_size_high(t):
    """A data region shorter than the contents: the file comes out short with
    only data bytes, never name or record bytes; one report line each; 2.
    The claimed length 2^32 + 5 shows size_high is read and printed in full."""
    entries = [File("a", 0, b"0123456789"), File("b", 0, b"B" * 50, length=GIB4 + 5), File("c"),
               File("d", 0, b"ddd")]
    # Only a and the first 50 bytes of b are in the data region.
    write_archive("a.tree", entries, data_prefix=b"0123456789" + b"B" * 50)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    r.expect_finished(2, dirs=0, files=4, outbytes=60)
    expect_eq(r.of_kind("short"), [(t.full("out", "b"), b"4294967301", b"50", b"archive ends early"),
                                   (t.full("out", "d"), b"3", b"0", b"archive ends early")], "short content reports")
    # Said before the first file is written.
    expect_eq(r.reports[0], ("lengths", b"%d" % (10 + GIB4 + 5 + 3), b"60"), "the lengths line")
    expect_eq(len(r.reports), 3, "reports")
    expect_eq(snapshot("out"), {b"a": b"0123456789", b"b": b"B" * 50, b"c": b"", b"d": b""}, "tree")


@case
def short_write_at_file_size_limit(t):
    """A write the system cuts short (RLIMIT_FSIZE; SIGXFSZ left as a shell
    leaves it) is reported with the system's text; later files keep their
    own bytes."""
    t.linux_only("the file size limit is a Linux process limit")
    limit = 500000
    small = b"s" * 1000
    entries = [File("a", 0, b"a" * 800000), File("b", 0, bytes(range(256)) * (3 * CHUNK // 256)),
               File("c", 0, small)]
    write_archive("a.tree", entries)
    os.mkdir("out")

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    r = t.run("a.tree", "out", preexec_fn=limit_file_size)
    r.expect_finished(2, dirs=0, files=3, outbytes=2 * limit + len(small))
    text = os.strerror(errno.EFBIG).encode()
    expect_eq(r.of_kind("short"), [(t.full("out", "a"), b"800000", b"%d" % limit, text),
                                   (t.full("out", "b"), b"%d" % (3 * CHUNK), b"%d" % limit, text)], "reports")
    expect_eq(len(r.reports), 2, "reports")
    got = snapshot("out")
    expect_eq((got[b"a"], got[b"b"], got[b"c"]), (b"a" * limit, entries[1].content[:limit], small), "contents")


@case
def lost_standard_output(t):
    """A reader that goes away (| head -1, 100,000 entries), a full device, a
    closed standard output: the walk still finishes, the tree is whole with
    its directories' times, one line on standard error says what was lost,
    and the extractor's status is 2."""
    def archive(name, dirs, files, pad):
        entries = []
        for d in range(dirs):
            entries.append(Dir("d%03d" % d, write=DIR_WRITE + d))
            entries += [File("f%04d" % i + pad, 1, b"%d" % i) for i in range(files)]
        write_archive(name, entries)
        return name, entries

    # Every listing far beyond what a pipe holds, so head is gone before the end.
    small = archive("small.tree", 4, 400, "n" * 150)
    big = small if t.wine else archive("big.tree", 100, 999, "")
    rows = (("| head -1", big, errno.EPIPE), ("> /dev/full", small, errno.ENOSPC), (">&-", small, errno.EBADF))
    for n, (redirect, (archive_name, entries), code) in enumerate(rows):
        out = "out%d" % n
        os.mkdir(out)
        p = t.shell("set -o pipefail; $UNTREE %s %s %s" % (archive_name, out, redirect))
        expect_eq(p.returncode, 2, "status of the extractor " + redirect)
        err = text_lines(p.stderr, t.wine, "stderr").split(b"\n")
        expect(len(err) == 2 and err[1] == b"" and err[0].startswith(b"standard output: "),
               "stderr %s: %r" % (redirect, p.stderr[:300]))
        message = err[0][len(b"standard output: "):]
        expect(message_ok(message) and (t.wine or message == os.strerror(code).encode()),
               "message %s: %r" % (redirect, message))
        for e in entries:
            if e.is_dir:
                expect_times(os.path.join(out, e.name), e)
        expect_eq(snapshot(out), expected_tree(entries), "tree " + redirect)


# --- Files and directories that cannot be created ---------------------------------

@case
def file_that_cannot_be_created(t):
    """A file in the middle that cannot be created (a directory stands in its
    place): one report line with attr=0A21 and size 2^32 in full; its content
    is consumed (over 4 GiB, sparse) and the next file gets its own bytes; 2.
    Standard output and error keep their order when they share one file."""
    entries = [File("a", 0, b"aaa"), File("b", 0, b"BBBB", length=GIB4, attributes=0xA21), File("c", 0, b"ccc")]
    write_archive("a.tree", entries)
    os.makedirs("out/b")
    r = t.run("a.tree", "out")
    r.expect_finished(2, dirs=0, files=3, outbytes=6)
    reports = r.of_kind("createfile")
    expect_eq([x[:3] for x in reports], [(t.full("out", "b"), b"0A21", b"4294967296")], "report")
    if not t.wine:
        expect_eq(reports[0][3], os.strerror(errno.EISDIR).encode(), "message")
    expect_eq(len(r.reports), 1, "reports")
    expect_eq(snapshot("out"), {b"a": b"aaa", b"b": None, b"c": b"ccc"}, "tree")

    rc, merged = t.run("a.tree", "out", merged=True)
    expect_eq(rc, 2, "exit status, merged")
    lines = merged.split(b"\n")
    # A status line may come before any record's listing; it ends in a
    # carriage return, not a line feed.
    plain = [STATUS.sub(b"", line) for line in lines]
    expect_eq(plain[:2], [b"a 0", b"b 0"], "merged: listing before the report")
    expect(plain[2].startswith(b"createfile error with <" + t.full("out", "b") + b">, attr=0A21"),
           "merged: report right after its entry's listing line: %r" % lines[2])
    expect_eq(plain[3], b"c 0", "merged: listing after the report")
    expect(STATUS.match(lines[4]) and plain[4:] == [b"", b""], "merged: status line, newline: %r" % lines[4:])


@case
def destination_that_does_not_exist(t):
    """A destination that is missing or no directory is said once, at the
    start, with the system's reason: 1, nothing created."""
    write_archive("a.tree", [Dir("d"), File("f", 1, b"fff"), File("g", 0, b"gg")])
    write_raw("file", b"")
    for dest, errno_ in (("missing", errno.ENOENT), ("file", errno.ENOTDIR)):
        line = early_line(t, t.run_program(t.untree, ["a.tree", dest]), dest)
        expect(line.startswith(b"cannot open destination <%s>: " % dest.encode()), "%s: %r" % (dest, line))
        if not t.wine:
            expect_eq(line.split(b": ", 1)[1], os.strerror(errno_).encode(), "%s: reason" % dest)
    expect(not os.path.exists("missing"), "destination created")
    expect_eq(sorted(os.listdir(".")), ["a.tree", "file"], "nothing created")


@case
def destination_through_a_link_then_dotdot(t):
    """On Linux DESTINATION means what the kernel means: in lnk/.., where lnk
    leads to elsewhere/inner, ".." leaves the link's target (elsewhere), as
    `cd -P` does, also in a path beyond PATH_MAX. Report lines keep showing
    the path as typed, folded as text."""
    t.linux_only("Windows folds \"..\" as text, by its own rules")
    write_archive("a.tree", [File("f", 0, b"new"), File("ro", 0, b"x")])
    os.makedirs("elsewhere/inner")
    os.symlink("elsewhere/inner", "lnk")
    write_raw("elsewhere/ro", b"kept")
    os.chmod("elsewhere/ro", 0o444)
    r = t.run("a.tree", "lnk/..")
    r.expect_finished(2, files=2, outbytes=3)
    expect_eq([x[:3] for x in r.of_kind("createfile")], [(t.full(".", "ro"), b"0020", b"1")], "the report's path")
    expect_eq((snapshot("elsewhere"), sorted(os.listdir("."))),
              ({b"f": b"new", b"inner": None, b"ro": b"kept"}, ["a.tree", "elsewhere", "lnk"]),
              "the directory written into, and the working directory")
    # Far below: the path is opened a part at a time, each from where the
    # one before led.
    fd = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
    for name in ["deep"] + ["d" * 200] * 25:
        os.mkdir(name, dir_fd=fd)
        fd, old = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
        os.close(old)
    os.makedirs("/proc/self/fd/%d/elsewhere/inner" % fd)
    os.symlink("elsewhere/inner", "lnk", dir_fd=fd)
    long = "deep/" + "/".join(["d" * 200] * 25)
    r = t.run("a.tree", long + "/lnk/..")
    r.expect_finished(0, files=2, outbytes=4)
    bottom = "/proc/self/fd/%d/" % fd
    expect_eq((sorted(os.listdir(bottom)), snapshot(bottom + "elsewhere")),
              (["elsewhere", "lnk"], {b"f": b"new", b"inner": None, b"ro": b"x"}), "the long destination")
    os.close(fd)


@case
def existing_directories_reused(t):
    """Directories already there are reused (0, no report) and keep their own
    times; entries inside them are written; a file where a directory should
    be is a createdirectory failure and its children fail too."""
    entries = [Dir("kept"), Dir("used"), File("new", 1, b"new"), Dir("clash"), File("in", 1, b"in"),
               File("z", 0, b"z")]
    write_archive("a.tree", entries)
    os.makedirs("out/kept")
    os.makedirs("out/used")
    write_raw("out/used/marker", b"mine")
    write_raw("out/clash", b"a file")
    own = 1500000000123456700
    os.utime("out/kept", ns=(own, own))
    r = t.run("a.tree", "out")
    r.expect_finished(2, dirs=3, files=3, outbytes=4)
    st = os.stat("out/kept")
    expect_eq((st.st_atime_ns, st.st_mtime_ns), (own, own), "times of the existing directory")
    expect(os.stat("out/used").st_mtime_ns != filetime_to_ns(entries[1].write), "archived time on existing directory")
    expect_eq([x[:2] for x in r.of_kind("createdirectory")], [(t.full("out", "clash"), b"0010")], "clash")
    expect_eq([x[:3] for x in r.of_kind("createfile")], [(t.full("out", "clash", "in"), b"0020", b"2")], "in")
    expect_eq(snapshot("out"), {b"kept": None, b"used": None, b"used/marker": b"mine", b"used/new": b"new",
                                b"clash": b"a file", b"z": b"z"}, "tree")

    os.remove("out/clash")
    os.mkdir("out/clash")
    r = t.run("a.tree", "out")
    r.expect_finished(0, dirs=3, files=3, outbytes=6)
    expect_eq(r.raw_err, b"", "stderr when every directory exists")


@case
def read_only_file_not_replaced(t):
    """A read-only file already at the destination (made so by an earlier
    extraction) is not replaced: access denied report, 2, later files fine."""
    write_archive("first.tree", [File("ro", 0, b"old", attributes=ATTR_READONLY | ATTR_ARCHIVE)])
    write_archive("second.tree", [File("ro", 0, b"NEW"), File("next", 0, b"next")])
    os.mkdir("out")
    r = t.run("first.tree", "out")
    r.expect_finished(0)
    r = t.run("second.tree", "out")
    r.expect_finished(2, dirs=0, files=2, outbytes=4)
    reports = r.of_kind("createfile")
    expect_eq([x[:3] for x in reports], [(t.full("out", "ro"), b"0020", b"3")], "report")
    if not t.wine:
        expect_eq(reports[0][3], os.strerror(errno.EACCES).encode(), "access denied text")
    expect_eq(snapshot("out"), {b"ro": b"old", b"next": b"next"}, "tree")


# What stands in the destination, by option: (options, exit status, the
# contents after the run, the reports as (kind, name)). Before the run: old
# (as the archive's entry, same time), ro (read-only), newer (written after
# the entry); fresh is new.
EXISTING_FILES = [
    ([], 2, {b"old": b"NEW", b"ro": b"ro", b"newer": b"NEW", b"fresh": b"NEW"}, [("createfile", b"ro")]),
    (["-k"], 2, {b"old": b"old", b"ro": b"ro", b"newer": b"newer", b"fresh": b"NEW"},
     [("createfile", b"old"), ("createfile", b"ro"), ("createfile", b"newer")]),
    (["--keep-old-files", "--overwrite-read-only"], 2,
     {b"old": b"old", b"ro": b"ro", b"newer": b"newer", b"fresh": b"NEW"},
     [("createfile", b"old"), ("createfile", b"ro"), ("createfile", b"newer")]),
    (["--skip-old-files"], 0, {b"old": b"old", b"ro": b"ro", b"newer": b"newer", b"fresh": b"NEW"}, []),
    (["--keep-newer-files"], 2, {b"old": b"NEW", b"ro": b"ro", b"newer": b"newer", b"fresh": b"NEW"},
     [("createfile", b"ro"), ("kept", b"newer")]),
    (["--overwrite-read-only"], 0, {b"old": b"NEW", b"ro": b"NEW", b"newer": b"NEW", b"fresh": b"NEW"}, []),
    (["--keep-newer-files", "--overwrite-read-only"], 0,
     {b"old": b"NEW", b"ro": b"NEW", b"newer": b"newer", b"fresh": b"NEW"}, [("kept", b"newer")]),
]


@case
def options_for_existing_files(t):
    """-k never replaces an existing file (a createfile line each, 2);
    --skip-old-files keeps them without a word (0); --keep-newer-files keeps
    one written after the entry with a line, and replaces one as old as the
    entry; --overwrite-read-only replaces read-only files too, which get the
    archive's content and attributes. Files that are not there are made."""
    write_archive("first.tree", [File("old", 0, b"old"), File("ro", 0, b"ro", attributes=ATTR_READONLY),
                                 File("newer", 0, b"newer")])
    write_archive("second.tree", [File(name, 0, b"NEW") for name in ("old", "ro", "newer", "fresh")])
    for n, (options, rc, tree, reports) in enumerate(EXISTING_FILES):
        out = "out%d" % n
        os.mkdir(out)
        t.run("first.tree", out).expect_finished(0)
        os.utime(os.path.join(out, "newer"))
        r = t.run(*options, "second.tree", out)
        r.expect_finished(rc, files=4)
        expect_eq(snapshot(out), tree, "tree with %s" % options)
        got = [(kind, fields[0].rsplit(b"\\", 1)[-1]) for kind, *fields in r.reports]
        expect_eq(got, reports, "reports with %s" % options)
        if not t.wine:
            texts = [fields[-1] for kind, *fields in r.reports if kind == "createfile"]
            want = [os.strerror(errno.EACCES if name == b"ro" and "-k" not in options and
                                "--keep-old-files" not in options else errno.EEXIST).encode()
                    for kind, name in reports if kind == "createfile"]
            expect_eq(texts, want, "report texts with %s" % options)
        if tree[b"ro"] == b"NEW":
            # A new file, with the entry's attributes: writable.
            expect(os.stat(os.path.join(out, "ro")).st_mode & 0o200, "replaced read-only file still read-only")


@case
def options_quiet_and_to_stdout(t):
    """-q: nothing on stdout, the report lines as ever. -O: the contents of
    the selected files alone on stdout, in archive order; a FILTER selects
    the file it names or the files of the directory it names (never a
    sibling that only starts like it); nothing is created; a FILTER that
    names nothing is told, 2."""
    write_archive("a.tree", SELECTION + [File("zz.txt", 0, b"again")])
    os.mkdir("out")
    for name in ("readme.txt", "zz.txt"):
        os.mkdir(os.path.join("out", name))  # the files of these names cannot be made
    r = t.run("-q", "a.tree", "out")
    expect_eq((r.rc, r.raw_out), (2, b""), "-q: exit status and stdout")
    expect_eq([(k, f[0]) for k, *f in r.reports],
              [("createfile", t.full("out", "readme.txt")), ("createfile", t.full("out", "zz.txt"))], "-q: reports")
    expect_eq(snapshot("out")[b"docs/api/index.html"], b"<html>", "-q: extracted")
    before = sorted(os.listdir("."))
    everything = b"doc-file<html>apiary-xguidedocsy-yreadmeagain"
    for filters, rc, want, missing in (
            ([], 0, everything, []),
            (["docs/api/index.html"], 0, b"<html>", []),
            (["doc"], 0, b"doc-file", []),
            (["docs\\api"], 0, b"<html>", []),
            (["docs/"], 0, b"<html>apiary-xguide", []),
            (["readme.txt", "doc", "docs/guide"], 0, b"doc-fileguidereadme", []),
            (["docs/ap", "docsy"], 2, b"docsy-y", ["docs/ap"])):
        for option in ("-O", "--to-stdout", "-qO"):
            p = t.run_program(t.untree, [option, "a.tree"] + filters)
            what = "%s %s" % (option, filters)
            expect_eq((p.returncode, p.stdout), (rc, want), what)
            err = text_lines(p.stderr, t.wine, "stderr")
            expect_eq(err, b"".join(b"untree: FILTER <%s> is not in the archive\n" % m.encode() for m in missing),
                      what + ": stderr")
    expect_eq(sorted(os.listdir(".")), before, "-O created something")
    # Large contents into a file go through the kernel's copy where it has
    # one; each keeps its place.
    big = [File("one", 0, b"1" * (3 * CHUNK + 5)), File("two", 0, b"2" * (CHUNK + 1))]
    write_archive("big.tree", big)
    with open("big.out", "wb") as f:
        p = t.run_program(t.untree, ["-O", "big.tree"], stdout=f)
    expect_eq(p.returncode, 0, "-O into a file")
    with open("big.out", "rb") as f:
        expect(f.read() == b"1" * (3 * CHUNK + 5) + b"2" * (CHUNK + 1), "-O into a file: contents")
    if not t.wine:
        # A reader that goes away is told once, and the run ends 2.
        p = t.shell("$UNTREE -O big.tree | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}")
        expect_eq((p.returncode, p.stdout, p.stderr), (2, b"", b"standard output: %s\n" % os.strerror(errno.EPIPE).encode()),
                  "-O into a pipe closed early")


# --- Times and attributes --------------------------------------------------

@case
def times_and_read_only(t):
    """Files and directories get their archived last-write and last-access
    times to 100 ns, directories although files were written into them later;
    a read-only file gets its content and times and is read-only last, also
    one written over a writable file of an earlier run; a zero
    FILETIME leaves that time alone; times before 1970 with a part of a
    second (1969-12-31 23:59:59.5) are applied exactly. Creation times are
    not checked: neither Linux nor Wine on a Linux file system keeps a
    settable one."""
    T = 132800000000000000
    entries = [Dir("d", creation=T + 1, write=T + 12345671, access=T + 22345679),
               Dir("e", 1, creation=T + 2, write=T + 32345673, access=T + 42345677),
               File("f", 2, b"f" * 3000, creation=T + 3, write=T + 52345671, access=T + 62345671),
               File("g", 1, b"g", creation=T + 4, write=T + 72345679, access=T + 82345673),
               File("ro", 0, b"read-only", attributes=ATTR_READONLY | ATTR_ARCHIVE,
                    write=T + 92345671, access=T + 99999999),
               File("nowrite", 0, b"n", write=0, access=T + 7),
               File("none", 0, b"z", write=0, access=0),
               File("1969", 0, b"old", write=ns_to_filetime(-5 * 10**8), access=ns_to_filetime(-100)),
               File("ro-over", 0, b"new", attributes=ATTR_READONLY | ATTR_ARCHIVE, write=T + 3, access=T + 4)]
    write_archive("a.tree", entries)
    os.mkdir("out")
    with open("out/ro-over", "wb") as f:  # a writable file of an earlier run
        f.write(b"earlier content")
    before = time.time_ns() - 2 * 10**9
    r = t.run("a.tree", "out")
    r.expect_finished(0, dirs=2, files=7)
    for path, e in (("out/d", entries[0]), ("out/d/e", entries[1]), ("out/d/e/f", entries[2]),
                    ("out/d/g", entries[3]), ("out/ro", entries[4]), ("out/1969", entries[7]),
                    ("out/ro-over", entries[8])):
        expect_times(path, e)
    st = os.stat("out/nowrite")
    expect_eq(st.st_atime_ns, filetime_to_ns(T + 7), "access time beside a zero write time")
    expect(st.st_mtime_ns >= before, "a zero write time was applied")
    st = os.stat("out/none")
    expect(st.st_mtime_ns >= before and st.st_atime_ns >= before, "zero times were applied")
    for path in ("out/ro", "out/ro-over"):
        expect_eq(os.stat(path).st_mode & 0o222, 0, "write permission of " + path)
    for path in ("out/d/g", "out/none", "out/d", "out/d/e"):
        expect(os.stat(path).st_mode & 0o200, path + " lost its write permission")
    expect_eq(snapshot("out"), expected_tree(entries), "tree")


# --- Selection -------------------------------------------------------------

SELECTION = [File("doc", 0, b"doc-file"), Dir("docs"), Dir("api", 1), File("index.html", 2, b"<html>"),
             Dir("apiary", 1), File("x", 2, b"apiary-x"), Dir("guide", 1), File("g.txt", 2, b"guide"),
             Dir("docsy"), File("y", 1, b"docsy-y"), File("readme.txt", 0, b"readme")]


def expect_selection(t, r, filters, values, out):
    """Listing values as given; the tree is exactly the entries that agree
    with one of the filters over the shorter of the two."""
    rels = rel_paths(SELECTION)
    expect_eq(r.listing, list(zip(rels, values)), "listing under filters %r" % filters)

    def selected(rel):
        return not filters or any(rel[:min(len(rel), len(f))] == f[:min(len(rel), len(f))] for f in filters)

    want = expected_tree(SELECTION, selected)
    r.expect_finished(0, dirs=sum(1 for k, v in want.items() if v is None),
                      files=sum(1 for v in want.values() if v is not None))
    expect_eq(r.raw_err, b"", "stderr")
    expect_eq(snapshot(out), want, "tree under filters %r" % filters)


@case
def selection_by_prefix(t):
    """docs\\api selects doc, docs (listed -1), docs\\api, its content and
    docs\\apiary (bytes, not components), not docs\\guide, docsy, readme.txt;
    docs\\ takes docs and everything inside, not docsy; no filter: all 0. A
    slash is a backslash. Several filters select what any of them selects,
    each entry listed against the first that selects it, or the first."""
    write_archive("a.tree", SELECTION)
    rows = (([b"docs\\api"], [-1, -1, 0, 0, 0, 0, 1, 1, 1, 1, 1]),
            ([b"docs\\"], [-1, -1, 0, 0, 0, 0, 0, 0, 1, 1, 1]),
            ([], [0] * 11),
            ([b"docs/api"], [-1, -1, 0, 0, 0, 0, 1, 1, 1, 1, 1]),
            ([b"docs/"], [-1, -1, 0, 0, 0, 0, 0, 0, 1, 1, 1]),
            ([b"docs\\guide", b"readme.txt"], [-1, -1, -1, -1, -1, -1, 0, 0, 1, 1, 0]),
            ([b"readme.txt", b"docs/api/index.html", b"docsy"], [-1, -1, -1, 0, -1, -1, -1, -1, 0, 0, 0]))
    for n, (filters, values) in enumerate(rows):
        out = "out%d" % n
        os.mkdir(out)
        r = t.run("a.tree", out, *[f.decode() for f in filters])
        expect_selection(t, r, [f.replace(b"/", b"\\") for f in filters], values, out)


@case
def filter_not_in_the_archive(t):
    """A FILTER that nothing in the archive is or lies inside (a typo, the
    wrong case, a glob) is named in one line on stderr, and the run ends 2;
    the others still select, the listing is as ever. The directories on the
    way to a missing path are not a find, but a directory itself is, with
    or without its closing separator."""
    write_archive("a.tree", SELECTION)
    for n, (filters, missing, tree) in enumerate((
            (["docs\\apy"], ["docs\\apy"], {b"doc": b"doc-file", b"docs": None}),
            (["DOCS", "docs/*", "readme.txt"], ["DOCS", "docs/*"],
             {b"doc": b"doc-file", b"docs": None, b"readme.txt": b"readme"}),
            (["docs/guide/", "", "doc", "docs/api/index.html/"], [], None))):
        out = "out%d" % n
        os.mkdir(out)
        r = t.run("a.tree", out, *filters)
        r.expect_finished(2 if missing else 0)
        expect_eq(r.of_kind("early"), [(b"FILTER <%s> is not in the archive" % m.encode(),) for m in missing],
                  "lines for %r" % filters)
        expect_eq(len(r.reports), len(missing), "nothing else on stderr")
        if tree is not None:
            expect_eq(snapshot(out), tree, "tree for %r" % filters)


@case
def selection_keeps_data_aligned(t):
    """Filter a over b (with content), a, a\\x: b listed 1 and skipped, a\\x
    gets its own bytes. A skipped file over 4 GiB (sparse) keeps later
    entries aligned too."""
    entries = [File("b", 0, b"bbbb"), Dir("a"), File("x", 1, b"xx")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    r = t.run("a.tree", "out", "a")
    r.expect_finished(0, dirs=1, files=1, outbytes=2)
    expect_eq(r.listing, [(b"b", 1), (b"a", 0), (b"a\\x", 0)], "listing")
    expect_eq(snapshot("out"), {b"a": None, b"a/x": b"xx"}, "tree")

    entries = [File("big", 0, b"HEAD", length=GIB4 + 7, tail=b"TAIL"), File("keep", 0, b"keep-bytes")]
    write_archive("big.tree", entries)
    os.mkdir("out2")
    r = t.run("big.tree", "out2", "keep")
    r.expect_finished(0, dirs=0, files=1, outbytes=10)
    expect_eq(r.listing, [(b"big", -1), (b"keep", 0)], "listing")
    expect_eq(snapshot("out2"), {b"keep": b"keep-bytes"}, "tree")


@case
def selection_with_non_ascii_filter(t):
    """A filter with non-ASCII bytes matches the CESU-8 name; a character
    beyond the BMP given as ordinary 4-byte UTF-8 matches the name that
    carries it as two surrogates."""
    smile = b"\xed\xa0\xbd\xed\xb8\x80"
    entries = [Dir("cafe"), File("m", 1, b"plain"), Dir("caf\u00e9"), File("m", 1, b"accent"),
               Dir(smile), File("s", 1, b"smile"), Dir("\uffef"), File("t", 1, b"last")]
    write_archive("a.tree", entries)
    os.mkdir("out1")
    r = t.run("a.tree", "out1", "caf\u00e9\\")
    # café itself ends before the filter does: -1, and selected.
    expect_eq([v for _, v in r.listing], [-1, -1, -1, 0, 1, 1, 1, 1], "listing values for café\\")
    r.expect_finished(0, dirs=1, files=1)
    expect_eq(snapshot("out1"), {"café".encode(): None, "café/m".encode(): b"accent"}, "tree for café\\")
    os.mkdir("out2")
    r = t.run("a.tree", "out2", "\U0001F600")
    # Bytes, not characters: ED (a surrogate) sorts below EF (U+FFEF).
    expect_eq([v for _, v in r.listing], [-1, -1, -1, -1, 0, 0, 1, 1], "listing values for U+1F600")
    r.expect_finished(0, dirs=1, files=1)
    expect_eq(snapshot("out2"), {"😀".encode(): None, "😀/s".encode(): b"smile"}, "tree for U+1F600")


# --- Hostile names -----------------------------------------------------------

UNSAFE = [b"..", b".", b"", b"a/b", b"a:b", b"a\\b", b"a\xc1\x9cb", b"\xc0\xae\xc0\xae", b"\xc0\xae",
          b"x\xc0\xafy", b"..\x80", b"a\xc0\x80b", b"a\x00b"]


@case
def unsafe_names_skipped(t):
    """Names that could leave their parent, also when the lenient decoder is
    fed overlong or stray bytes, are skipped with their subtree: one report
    each, later entries get their own bytes, nothing lands outside; 2. A
    NUL shows as \\x00 in the listing and the report, in a pipe and on a
    terminal alike, never cutting the name short."""
    entries = [File("first", 0, b"first")]
    for i, name in enumerate(UNSAFE):
        entries += [Dir(name), File("inner", 1, b"X" * (i + 1)), Dir("sub", 1), File("deeper", 2, b"Y" * 3),
                    File("ok%d" % i, 0, b"own%d" % i)]
    entries += [File(b"..", 0, b"unsafe file"), Dir("good"), File(b"..", 1, b"up"), Dir(b"..", 1),
                File("up2", 2, b"up2"), File("after", 1, b"after")]
    write_archive("a.tree", entries)
    os.makedirs("box/out")
    r = t.run("a.tree", "box/out")
    r.expect_finished(2, dirs=1, files=len(UNSAFE) + 2)
    want = [name.replace(b"\0", b"\\x00") for name in UNSAFE] + [b"..", b"good\\..", b"good\\.."]
    expect_eq(r.of_kind("unsafe"), [(w,) for w in want], "unsafe name reports")
    nul = [p for p, _ in r.listing if b"x00" in p]
    expect_eq(nul, [b"a\\x00b", b"a\\x00b\\inner", b"a\\x00b\\sub", b"a\\x00b\\sub\\deeper"], "listing of a NUL")
    rc, screen = t.run_in_terminal(t.untree, ["a.tree", "box/out"])
    expect_eq(rc, 2, "exit status on a terminal")
    for line in (b"a\\x00b\\inner 0", b"unsafe name skipped: <a\\x00b>"):
        expect(line in screen, "%r not on the terminal: %r" % (line, screen[-400:]))
    expect_eq(len(r.reports), len(want), "reports")
    tree = {b"first": b"first", b"good": None, b"good/after": b"after"}
    tree.update({b"ok%d" % i: b"own%d" % i for i in range(len(UNSAFE))})
    expect_eq(snapshot("box/out"), tree, "tree")
    expect_eq(sorted(os.listdir(".")), ["a.tree", "box"], "scratch directory")
    expect_eq(os.listdir("box"), ["out"], "beside the destination")


# --- Corrupt archives ----------------------------------------------------------

def expect_corrupt(t, out, entry, **kw):
    """Runs the archive a.tree; the walk stops with one corrupt line for entry."""
    os.mkdir(out)
    r = t.run("a.tree", out)
    r.expect_finished(2, **kw)
    corrupt = r.of_kind("corrupt")
    expect_eq([c[0] for c in corrupt], [b"%d" % entry], "corrupt entry in %r" % r.err)
    expect(message_ok(corrupt[0][1]), "reason")
    expect_eq(len(r.reports), 1, "reports")
    return r


@case
def corrupt_nesting(t):
    """A first record deeper than 0, a depth jump of 2, depth 255: the walk
    stops there and the directories already made still get their times."""
    write_archive("a.tree", [File("f", 1, b"abc"), File("g", 0, b"g")])
    expect_corrupt(t, "out1", 1, dirs=0, files=0)
    expect_eq(os.listdir("out1"), [], "nothing extracted")

    entries = [Dir("d"), Dir("e", 1, write=132000000000000001, access=132000000000000003),
               File("x", 3, b"xyz"), File("later", 0, b"later")]
    write_archive("a.tree", entries)
    expect_corrupt(t, "out2", 3, dirs=2, files=0)
    expect_times("out2/d", entries[0])
    expect_times("out2/d/e", entries[1])
    expect_eq(snapshot("out2"), {b"d": None, b"d/e": None}, "tree")

    chain = [Dir("a", k) for k in range(255)] + [File("z", 255, b"zz")]
    write_archive("a.tree", chain)
    expect_corrupt(t, "out3", 256, dirs=255, files=0)
    expect_times("out3/a", chain[0])
    expect_eq(snapshot("out3"), {b"/".join([b"a"] * k): None for k in range(1, 256)}, "chain of 255")


    write_archive("a.tree", [File("f", 0, b"f"), File("inside", 1, b"in"), File("g", 0, b"g")])
    expect_corrupt(t, "out4", 2, dirs=0, files=1, outbytes=1)
    expect_eq(snapshot("out4"), {b"f": b"f"}, "nothing under a file")


@case
def existing_link_not_followed(t):
    """A link already in the destination where the archive has a directory:
    the directory is reported, nothing goes through the link, later entries
    keep their own bytes."""
    write_archive("a.tree", [Dir("d"), File("in", 1, b"secret"), Dir("e", 1), File("x", 2, b"x"),
                             File("after", 0, b"after")])
    os.makedirs("out")
    os.mkdir("elsewhere")
    os.symlink("../elsewhere", "out/d")
    r = t.run("a.tree", "out")
    r.expect_finished(2, dirs=1, files=1, outbytes=5)
    expect_eq([x[:2] for x in r.of_kind("createdirectory")], [(t.full("out", "d"), b"0010")], "link reported")
    expect_eq(os.listdir("elsewhere"), [], "nothing written through the link")
    expect_eq(open("out/after", "rb").read(), b"after", "later entry")


# --- What the destination holds already, and what changes in it meanwhile -----

NOT_REGULAR = b"not a regular file"
REPLACED = "replaced"
LINK_THERE = b"a link stands there (not followed)"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_device(path, size):
    fd = os.open(path, os.O_RDONLY)
    try:
        return os.read(fd, size)
    finally:
        os.close(fd)


def posix_acl(user, perm):
    """An access ACL that gives `user` the permissions `perm`, as the kernel
    stores it in system.posix_acl_access."""
    entries = [(0x01, 7, 0xFFFFFFFF), (0x02, perm, user), (0x04, 4, 0xFFFFFFFF), (0x10, perm, 0xFFFFFFFF),
               (0x20, 4, 0xFFFFFFFF)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


@case
def what_stands_in_the_destination(t):
    """Where a file goes, the destination may already hold the archive being
    read, a second name of a file outside, a set-ID program of another
    owner with an ACL and an extended attribute, a FIFO, a block device (a
    loop device over a disk image), a character device (a pseudo-terminal,
    whose other end shows anything written to it), a symbolic link to a file
    outside, or a file this run wrote under the same name (up to case under
    Windows). Each is refused with its report line, except the second name
    and the program, whose names get new files (another inode, the mode,
    owner and group of a new file, none of the old one's ACL and attributes);
    nothing outside or behind them changes by a byte, the run does not
    block, later entries keep their bytes; 2."""
    os.makedirs("out")
    os.mkdir("outside")
    write_raw("outside/victim", b"outside file")
    write_raw("outside/linked", b"outside, and a second name inside")
    os.link("outside/linked", "out/linked")
    os.mkfifo("out/fifo")
    os.symlink(os.path.abspath("outside/victim"), "out/symlink")
    write_raw("out/setid", b"#!/bin/sh\necho old program\n")
    first, again = ("README", "readme") if t.wine else ("twice", "twice")
    # Row: name, the report's message (None: any message, the system's;
    # REPLACED: no report, a new file there).
    rows = [("tree.tree", b"is the archive being read"), ("linked", REPLACED), ("setid", REPLACED),
            ("fifo", NOT_REGULAR), ("symlink", LINK_THERE)]
    devices, missing = [], []
    pattern = bytes(range(256)) * 256
    # Held open, the old program's inode cannot be handed to the new file.
    old_program = os.open("out/setid", os.O_RDONLY)
    kept = {"user.untree-old": b"old"}
    try:
        kept["system.posix_acl_access"] = posix_acl(65534, 6)
        for key, value in kept.items():
            os.setxattr("out/setid", key, value)
    except OSError as e:
        missing.append("ACL and extended attributes (%s)" % e)
    if os.geteuid() != 0:
        missing.append("device nodes and another owner (mknod and chown need root)")
    else:
        os.chown("out/setid", 65534, 65534)
        write_raw("disk.img", pattern)
        loop = subprocess.run(["losetup", "--find", "--show", "disk.img"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        if loop.returncode == 0:
            devices.append(loop.stdout.strip().decode())
            os.mknod("out/block", stat.S_IFBLK | 0o666, os.stat(devices[0]).st_rdev)
            rows.append(("block", None if t.wine else NOT_REGULAR))
        else:
            missing.append("block device (losetup: %s)" % loop.stderr.strip().decode())
        master, slave = os.openpty()
        os.mknod("out/tty", stat.S_IFCHR | 0o666, os.fstat(slave).st_rdev)
        rows.append(("tty", None if t.wine else NOT_REGULAR))
    os.chmod("out/setid", 0o6755)
    umask = os.umask(0)
    os.umask(umask)
    entries = [File(first, 0, b"first")] + [File(name, 0, b"archived " + name.encode()) for name, _ in rows]
    entries += [File(again, 0, b"again"), File("after", 0, b"after")]
    write_archive("out/tree.tree", entries)
    archive = read_bytes("out/tree.tree")
    try:
        r = t.run("out/tree.tree", "out", timeout=120)
        r.expect_finished(2, dirs=0, files=len(entries) - 1)
        # The name met again is known from the archive, before anything is written.
        expect_eq(r.reports[0], ("duplicate", again.encode(), b"%d" % (len(entries) - 1), b"1"), "the duplicate")
        got = {p: (a, s, m) for p, a, s, m in r.of_kind("createfile")}
        want = {t.full("out", name): message for name, message in rows if message is not REPLACED}
        expect_eq(sorted(got), sorted(want), "refused entries")
        for path, message in want.items():
            expect(got[path][2] == message if message else message_ok(got[path][2]),
                   "message for %r: %r" % (path, got[path][2]))
        expect_eq(len(r.reports), len(want) + 1, "reports")
        if "tty" in dict(rows):
            os.set_blocking(master, False)
            try:
                written = os.read(master, 4096)
            except BlockingIOError:
                written = b""
            expect_eq(written, b"", "bytes written into the terminal device")
        if devices:
            expect(read_device(devices[0], len(pattern)) == pattern, "the block device was written")
        st, old = os.lstat("out/setid"), os.fstat(old_program)
        expect_eq((read_bytes("out/setid"), stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_ino == old.st_ino),
                  (b"archived setid", 0o666 & ~umask, os.geteuid(), os.getegid(), False),
                  "the program's name: content, mode, owner, group, the old inode")
        expect_eq(sorted(set(os.listxattr("out/setid")) & set(kept)), [], "the old program's ACL and attributes")
        expect_eq(stat.S_IMODE(old.st_mode), 0o6755, "the old program's own mode")
    finally:
        os.close(old_program)
        if os.geteuid() == 0:
            os.close(master)
            os.close(slave)
        for device in devices:
            subprocess.run(["losetup", "--detach", device])
    expect(read_bytes("out/tree.tree") == archive, "the archive was written")
    expect_eq(read_bytes("outside/victim"), b"outside file", "the file behind the link")
    expect_eq((read_bytes("outside/linked"), os.stat("outside/linked").st_nlink),
              (b"outside, and a second name inside", 1), "the file with the second name")
    expect_eq(read_bytes("out/linked"), b"archived linked", "the second name, now a file of its own")
    if devices:
        expect(read_bytes("disk.img") == pattern, "the disk image was written")
    expect(stat.S_ISFIFO(os.lstat("out/fifo").st_mode) and os.path.islink("out/symlink"), "FIFO or link replaced")
    expect_eq((read_bytes("out/" + first), read_bytes("out/after")), (b"first", b"after"), "first and last entries")
    if missing:
        raise Skip("every other row passed; not run: " + "; ".join(missing))


@case
def descriptors_run_short(t):
    """60 nested directories with 20 descriptors allowed: the limit is raised
    to what the system grants and every directory gets its times. When it
    grants no more, the first directory that cannot be held is reported with
    the system's text and its subtree passed over; the later file gets its
    bytes; 2."""
    t.linux_only("the descriptor limit is a Linux process limit")
    entries = [Dir("level%02d" % k, k, write=132000000000000001 + k, access=132100000000000003 + k)
               for k in range(60)]
    entries += [File("deep", 60, b"deep"), File("after", 0, b"after")]
    write_archive("a.tree", entries)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and hard < 100:
        raise Skip("the hard descriptor limit here is %d" % hard)
    for out, limits in (("raised", (20, hard)), ("capped", (20, 20))):
        os.mkdir(out)
        r = t.run("a.tree", out, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, limits))
        paths = [os.path.join(out, *[e.name for e in entries[:k + 1]]) for k in range(60)]
        if out == "raised":
            r.expect_finished(0, dirs=60, files=2, outbytes=9)
            for path, e in zip(paths, entries):
                expect_times(path, e)
            continue
        r.expect_finished(2)
        reports = r.of_kind("createdirectory")
        expect_eq(len(r.reports), 1, "reports")
        expect_eq(reports[0][2], os.strerror(errno.EMFILE).encode(), "message")
        held = [e.name for e in entries[:60]].index(reports[0][0].rsplit(b"\\", 1)[1].decode())
        for path, e in zip(paths[:held], entries):
            expect_times(path, e)
        expect(not os.path.exists(os.path.join(paths[held], entries[held + 1].name)), "subtree attempted")
        expect_eq(read_bytes(os.path.join(out, "after")), b"after", "the file after the subtree")


LIBC = ctypes.CDLL(None, use_errno=True)
RENAME_EXCHANGE = 2
F_SETPIPE_SZ = 1031


def exchange(a, b):
    """Swaps two names in one step (renameat2 with RENAME_EXCHANGE)."""
    if LIBC.renameat2(-100, os.fsencode(a), -100, os.fsencode(b), RENAME_EXCHANGE) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), a)


def swap_from_unix(directory, link, inside, swapped, stop, count):
    """Once `inside` exists, swaps `directory` with `link`, says so, then
    swaps them back and forth until told to stop."""
    while not os.path.lexists(inside):
        if stop.is_set():
            return
        time.sleep(0.001)
    while not stop.is_set():
        exchange(directory, link)
        count.value += 1
        swapped.set()


def extract_while(t, args, act, stdout, env=None, pass_fds=()):
    """Runs the extractor with `args`, standard error into a file, while
    act(process) does its part; `stdout` and `pass_fds` are descriptors for
    the extractor alone. Returns its exit status and standard error."""
    cmd, own_env = t.command(t.untree, args)
    with open("untree.err", "w+b") as err:
        p = subprocess.Popen(cmd, env=env or own_env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=err,
                             pass_fds=pass_fds)
        for fd in pass_fds + ((stdout,) if isinstance(stdout, int) else ()):
            os.close(fd)
        try:
            act(p)
            p.wait(timeout=300)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err.seek(0)
        return p.returncode, err.read()


def run_listing_held(t, archive, dest, act):
    """Runs the extractor with its listing sent into a small pipe that is
    read only once act(process) has returned: an extractor inside a
    directory whose entries list more than its output buffer and the pipe
    can hold stops there until then, whatever the machine's speed."""
    listing, into = os.pipe()
    fcntl.fcntl(into, F_SETPIPE_SZ, 4096)
    out = []

    def act_then_read(p):
        act(p)
        while True:
            chunk = os.read(listing, 65536)
            if not chunk:
                break
            out.append(chunk)
    try:
        rc, err = extract_while(t, [archive, dest], act_then_read, into)
    finally:
        os.close(listing)
    return Run(rc, b"".join(out), err, t.wine)


def swaps_from_windows(t, inside, dirs):
    """The Windows helper's steps against `dirs` once `inside` exists, as
    {(step, path): "done" or the error number}."""
    p = t.run_program(t.args.swap_helper, [inside, "outside"] + dirs, timeout=300)
    expect_eq(p.returncode, 0, "swap helper's exit status (output %r)" % p.stdout[-500:])
    steps = {}
    for line in text_lines(p.stdout, True, "swap helper").decode().splitlines():
        m = re.match(r"(\S+) (.*): (done|refused (\d+))\Z", line)
        expect(m, "swap helper printed %r" % line)
        steps[(m.group(1), m.group(2))] = "done" if m.group(3) == "done" else int(m.group(4))
    return steps


# Moves of a directory that another handle holds without sharing delete.
SHARING_VIOLATION, ACCESS_DENIED = 32, 5
MOVES = ("MoveFileExW", "FileRenameInfo", "replace-by-symlink", "replace-by-junction")


def flip_held_files(t, victim):
    """Extracts read-only files while the preloaded library holds the
    extractor before it stamps each one; meanwhile each file's name is swapped
    with a link to `victim`. Returns the run and how many files were flipped."""
    told, tell = os.pipe()
    go, wait = os.pipe()
    env = dict(os.environ, LD_PRELOAD=t.args.read_faults, UNTREE_HOLD_FDS="%d,%d" % (tell, go))
    flipped = []

    def flip_each(p):
        with os.fdopen(told, "rb") as held:
            for line in held:
                path = os.fsdecode(line.rstrip(b"\n"))
                aside = os.path.join(os.path.dirname(path), ".flip%d" % len(flipped))
                os.symlink(victim, aside)
                exchange(path, aside)
                flipped.append(path)
                os.write(wait, b"g")
    with open("untree.out", "w+b") as out:
        try:
            rc, err = extract_while(t, ["flips.tree", "out"], flip_each, out, env=env, pass_fds=(tell, go))
        finally:
            os.close(wait)
        out.seek(0)
        return Run(rc, out.read(), err, False), len(flipped)


class Mounted:
    """A file system of its own for a case, mounted as root (skipped with the
    reason where it cannot be): tmpfs, or ext4 with 128-byte inodes, whose
    timestamps have one-second steps."""

    def __init__(self, kind, where):
        self.kind, self.where, self.image = kind, os.path.abspath(where), None

    def __enter__(self):
        if os.geteuid() != 0:
            raise Skip("mounting %s needs root" % self.kind)
        os.mkdir(self.where)
        if self.kind == "ext4":
            self.image = self.where + ".img"
            with open(self.image, "wb") as f:
                f.truncate(16 << 20)
            made = subprocess.run(["mkfs.ext4", "-q", "-I", "128", self.image], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            if made.returncode != 0:
                raise Skip("mkfs.ext4 -I 128: %s" % made.stdout.decode().strip())
        self.mount()
        return self

    def mount(self):
        cmd = ["mount", "-o", "loop", self.image, self.where] if self.image else \
            ["mount", "-t", "tmpfs", "-o", "size=16m", "none", self.where]
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            raise Skip("%s: %s" % (" ".join(cmd), p.stdout.decode().strip()))

    def umount(self):
        subprocess.run(["umount", self.where], check=True)

    def __exit__(self, *exc):
        if os.path.ismount(self.where):
            self.umount()


ROUND = 132400000000000000  # whole seconds, kept as they are by one-second timestamps
DUPLICATE_ROWS = [
    ("a file twice", [File("a", 0, b"first", write=ROUND), File("a", 0, b"second"), File("z", 0, b"z")],
     {b"a": b"first", b"z": b"z"}, [(b"a", b"2", b"1")]),
    ("a directory twice, a name in both",
     [Dir("A", write=ROUND, access=ROUND), File("x", 1, b"1"), File("b", 0, b"b"), Dir("A", write=ROUND, access=ROUND),
      File("x", 1, b"2"), File("y", 1, b"y")],
     {b"A": None, b"A/x": b"1", b"A/y": b"y", b"b": b"b"}, [(b"A\\x", b"5", b"2")]),
    ("a file, then a directory of its name", [File("f", 0, b"f"), Dir("f"), File("in", 1, b"in"), File("g", 0, b"g")],
     {b"f": b"f", b"g": b"g"}, [(b"f", b"2", b"1")]),
]


@case
def duplicates_from_the_archive(t):
    """A name an earlier sibling holds is known from the archive itself, on
    any file system, whatever its timestamps: the second entry is skipped
    with one line said before anything is written, the first stays, 2; a
    directory listed twice is merged and ends with its archived times. An
    existing file whose change time lies in the future (set with debugfs)
    is replaced as any other: 0."""
    for kind in ("tmpfs", "ext4"):
        with Mounted(kind, kind) as fs:
            for n, (what, entries, tree, duplicates) in enumerate(DUPLICATE_ROWS):
                write_archive("a.tree", entries)
                out = os.path.join(fs.where, "out%d" % n)
                os.mkdir(out)
                r = t.run("a.tree", out)
                r.expect_finished(2)
                expect_eq(r.reports, [("duplicate",) + d for d in duplicates], "%s, %s: reports" % (kind, what))
                if entries[0].is_dir:
                    expect_times(os.path.join(out, "A"), entries[3], "%s, %s: the merged directory" % (kind, what))
                expect_eq(snapshot(out), tree, "%s, %s: tree" % (kind, what))
            if kind != "ext4":
                continue
            write_raw(os.path.join(fs.where, "future"), b"old")
            fs.umount()
            # 2037: as late as 128-byte inodes go.
            p = subprocess.run(["debugfs", "-w", "-R", "set_inode_field /future ctime 20370101000000", fs.image],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            fs.mount()
            expect(p.returncode == 0 and os.stat(os.path.join(fs.where, "future")).st_ctime > time.time() + 3e8,
                   "debugfs did not set the change time: %r" % p.stdout)
            write_archive("b.tree", [File("future", 0, b"archived")])
            r = t.run("b.tree", fs.where)
            r.expect_finished(0, files=1)
            expect_eq((r.reports, read_bytes(os.path.join(fs.where, "future"))), ([], b"archived"),
                      "a file changed in the future")


@case
def swaps_during_the_walk(t):
    """While the extractor is inside two directories of the destination, one
    it made and one that was there, another process tries to swap the outer
    one for a link to a directory outside. From Unix (Linux build): swapped
    (renameat2 RENAME_EXCHANGE) at that point, then back and forth until the
    run ends; the whole tree lands in the directory, wherever it stands. From
    Windows (Wine): a helper program's moves of every directory the extractor
    holds (MoveFileExW, FileRenameInfo, a symbolic link or junction moved onto
    its name) are refused (sharing violation), and succeed once the run is
    over. On Linux, too, each new read-only file is swapped for a link to a
    file outside while the extractor is held before it stamps it. Nothing
    outside changes; the file behind the links keeps its bytes, mode and
    times."""
    if t.wine and not t.args.swap_helper:
        raise Skip("no Windows swap helper given (--swap-helper)")
    os.mkdir("outside")
    victim = os.path.abspath("outside/victim")
    write_raw(victim, b"outside file")
    os.chmod(victim, 0o640)
    os.utime(victim, ns=(1500000000 * 10**9, 1500000000 * 10**9))
    before = os.stat(victim)
    # Names long enough that the entries inside d\e list far more than the
    # extractor's output buffer (64 KiB) and the pipe (4 KiB) hold.
    names = ["f%04d" % i + "n" * 235 for i in range(400)]
    tree = [Dir("d"), Dir("e", 1)] + [File(n, 2, n[:5].encode() * 20) for n in names]
    tree += [Dir("x", 1)] + [File(n, 2, b"x") for n in names[:20]]
    write_archive("tree.tree", tree)
    inside = os.path.join("out", "d", "e", names[0])
    want = {k[2:]: v for k, v in expected_tree(tree).items() if k.startswith(b"d/")}
    context = multiprocessing.get_context("fork")
    for variant in ("made", "there"):
        harness.remove_tree("out")
        os.mkdir("out")
        if variant == "there":
            os.makedirs("out/d/e")
        if t.wine:
            steps = {}
            r = run_listing_held(t, "tree.tree", "out", lambda p: steps.update(
                swaps_from_windows(t, inside.replace("/", "\\"), ["out\\d\\e", "out\\d", "out"])))
            moves = {k: v for k, v in steps.items() if k[0] in MOVES}
            expect(moves and all(v in (SHARING_VIOLATION, ACCESS_DENIED) for v in moves.values()),
                   "%s: moves of the held directories not refused: %r" % (variant, steps))
            real = "out/d"
        else:
            os.symlink(os.path.abspath("outside"), "out/l")
            stop, swapped, count = context.Event(), context.Event(), context.Value("i", 0)
            helper = context.Process(target=swap_from_unix, args=(
                os.path.abspath("out/d"), os.path.abspath("out/l"), os.path.abspath(inside), swapped, stop, count))
            helper.start()
            try:
                r = run_listing_held(t, "tree.tree", "out", lambda p: swapped.wait(300))
            finally:
                stop.set()
                helper.join(30)
                if helper.is_alive():
                    helper.kill()
            expect(swapped.is_set(), "%s: no swap while the extractor was inside (%d)" % (variant, count.value))
            real = "out/l" if os.path.islink("out/d") else "out/d"
        r.expect_finished(0, dirs=3, files=420)
        expect_eq(r.raw_err, b"", "%s: stderr" % variant)
        expect_eq(snapshot(real), want, "%s: the tree" % variant)
        expect_eq(sorted(os.listdir("outside")), ["victim"], "%s: outside the destination" % variant)
    if t.wine:
        # Once the extractor is gone, the very same move goes through.
        steps = swaps_from_windows(t, inside.replace("/", "\\"), ["out\\d\\e"])
        expect_eq(steps[("MoveFileExW", "out\\d\\e")], "done", "the move once the run is over")
    elif t.args.read_faults:
        flips = [Dir("d")] + [File(n, 1, b"r" * 1000, attributes=ATTR_READONLY | ATTR_ARCHIVE) for n in names[:40]]
        flips += [File(n, 1, b"again") for n in names[:40]]
        write_archive("flips.tree", flips)
        harness.remove_tree("out")
        os.mkdir("out")
        r, flipped = flip_held_files(t, victim)
        r.expect_finished(2, dirs=1, files=40)
        expect_eq(flipped, 40, "files swapped for a link while held")
        expect_eq(sorted(set(k[0] for k in r.reports)), ["duplicate"], "files: reports")
        expect_eq(len(r.reports), 40, "files: one report for each file met again")
        for i, e in enumerate(flips[1:41]):
            aside = "out/d/.flip%d" % i
            expect_times(aside, e)
            expect_eq((read_bytes(aside), stat.S_IMODE(os.stat(aside).st_mode)), (e.content, 0o444),
                      "files: the file swapped aside")
    after = os.stat(victim)
    expect_eq((read_bytes(victim), stat.S_IMODE(after.st_mode), after.st_mtime_ns, after.st_atime_ns),
              (b"outside file", 0o640, before.st_mtime_ns, before.st_atime_ns), "the file behind the links")
    expect_eq(sorted(os.listdir("outside")), ["victim"], "outside the destination")


@case
def corrupt_name_lines(t):
    """A name line of 65,536 bytes, and fewer name lines than records: stop at
    that entry; the entries before it stay, their directories get times."""
    entries = [Dir("d"), File("f", 1, b"fff"), File(b"n" * 65536, 1, b"long"), File("g", 0, b"g")]
    write_archive("a.tree", entries)
    expect_corrupt(t, "out1", 3, dirs=1, files=1, outbytes=3)
    expect_times("out1/d", entries[0])
    expect_eq(snapshot("out1"), {b"d": None, b"d/f": b"fff"}, "tree, long name line")

    entries = [Dir("d"), File("f", 1, b"fff"), File("g", 1, b"ggg")]
    write_archive("a.tree", entries, drop_names=1)
    expect_corrupt(t, "out2", 3, dirs=1, files=1, outbytes=3)
    expect_times("out2/d", entries[0])
    expect_eq(snapshot("out2"), {b"d": None, b"d/f": b"fff"}, "tree, missing name line")


@case
def archive_unreadable_or_cut_short(t):
    """Reads of the archive that fail (EIO from a preloaded library) or find
    it truncated during the run. In the trailer, the records or the names the
    walk stops there with the system's text or "archive shrank while read",
    and the directories begun keep their times. In the data region only the
    files over the unreadable bytes come out short, with the system's text,
    through the read-ahead window and the kernel's copy alike; later files
    get their own bytes. Always 2."""
    if not t.args.read_faults:
        raise Skip("reads are made to fail by a library preloaded into the Linux build")
    eio = os.strerror(errno.EIO).encode()
    entries = []
    for d in range(3):
        entries.append(Dir("d%d" % d, write=DIR_WRITE + d))
        entries += [File("f%03d" % i, 1, b"%d-%d;" % (d, i) * (i % 7)) for i in range(999)]
    names_start = write_archive("a.tree", entries)
    lines = [e.name_bytes() + b"\n" for e in entries]
    records = names_start + len(b"".join(lines))
    size = records + 40 * len(entries) + 8
    line_2001 = names_start + len(b"".join(lines[:2000]))
    # Small contents go through the window; 64 KiB ones through the kernel.
    large = [File("L%d" % i, 0, bytes([65 + i]) * 65536) for i in range(4)]
    rows = (("trailer", entries, "EIO", (size - 8, size), 1, eio),
            ("records", entries, "EIO", (records + 40 * 1500 + 5, records + 40 * 1500 + 6), 1501, eio),
            ("names", entries, "EIO", (line_2001 + 2, line_2001 + 3), 2001, eio),
            ("cut", entries, "CUT", (records + 40 * 2000,), 2001, b"archive shrank while read"),
            ("window", entries, "EIO", (2000, 2600), None, None),
            ("kernel copy", large, "EIO", (2 * 65536 - 1000, 2 * 65536 + 1000), None, None))
    for n, (what, archive, fault, where, stop, reason) in enumerate(rows):
        write_archive("a.tree", archive)
        out = "out%d" % n
        os.mkdir(out)
        p = t.shell("$UNTREE a.tree " + out, LD_PRELOAD=t.args.read_faults, UNTREE_FAULT_FILE=os.path.abspath("a.tree"),
                    **{"UNTREE_FAULT_" + fault: "-".join("%d" % w for w in where)})
        r = Run(p.returncode, p.stdout, p.stderr, False)
        r.expect_finished(2)
        if stop:
            expect_eq(r.reports, [("corrupt", b"%d" % stop, reason)], what)
            done = archive[:stop - 1]
            for e in done:
                if e.is_dir:
                    expect_times(os.path.join(out, e.name), e)
            expect_eq(snapshot(out), expected_tree(done), what + ": tree")
            continue
        lo, hi = where
        want, shorts, at = expected_tree(archive), [], 0
        for e, rel in zip(archive, rel_paths(archive)):
            if not e.is_dir and e.length and at < hi and at + e.length > lo:
                written = max(0, lo - at)
                shorts.append(("short", t.full(out, *rel.split(b"\\")), b"%d" % e.length, b"%d" % written, eio))
                want[rel.replace(b"\\", b"/")] = e.content[:written]
            at += e.length
        expect(len(shorts) >= 2, what + ": the bad bytes should span files")
        expect_eq(r.reports, shorts, what + ": reports")
        expect_eq(snapshot(out), want, what + ": tree")


@case
def calls_failing_on_entries_made(t):
    """A close that fails (EIO, as NFS reports a write-back it could not
    make) and times that cannot be set (EPERM), from a preloaded library, on
    a file and on a directory: a line each with the system's text, the rest
    comes out, 2."""
    if not t.args.read_faults:
        raise Skip("the calls are made to fail by a library preloaded into the Linux build")
    entries = [Dir("d", write=DIR_WRITE), File("f", 1, b"ff"), Dir("e"), File("g", 0, b"g")]
    write_archive("a.tree", entries)
    eio, eperm = os.strerror(errno.EIO).encode(), os.strerror(errno.EPERM).encode()
    rows = (({"UNTREE_FAULT_CLOSE": "out0/d/f", "UNTREE_FAULT_TIMES": "out0/g"},
             [("close", t.full("out0", "d", "f"), eio), ("settimes", t.full("out0", "g"), eperm)]),
            ({"UNTREE_FAULT_CLOSE": "out1/e", "UNTREE_FAULT_TIMES": "out1/d"},
             [("settimes", t.full("out1", "d"), eperm), ("close", t.full("out1", "e"), eio)]))
    for n, (faults, reports) in enumerate(rows):
        out = "out%d" % n
        os.mkdir(out)
        faults = {k: os.path.abspath(v) for k, v in faults.items()}
        p = t.shell("$UNTREE a.tree " + out, LD_PRELOAD=t.args.read_faults, **faults)
        r = Run(p.returncode, p.stdout, p.stderr, False)
        r.expect_finished(2, dirs=2, files=2, outbytes=3)
        expect_eq(r.reports, reports, "reports")
        expect_eq(snapshot(out), expected_tree(entries), "tree")


# --- Paths and whole trees ---------------------------------------------------

@case
def deep_paths(t):
    """A tree deeper than the classic limits: over 5,000 bytes of path on
    Linux (beyond PATH_MAX), over 300 characters under Wine."""
    width, levels = (30, 11) if t.wine else (100, 50)
    entries = [Dir("%02d" % k + "d" * (width - 2), k) for k in range(levels)]
    entries += [File("leaf.txt", levels, b"deep leaf"), File("top", 0, b"top")]
    write_archive("a.tree", entries)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    r.expect_finished(0, dirs=levels, files=2, outbytes=12)
    deepest = max(len(p) for p in rel_paths(entries))
    expect(deepest > (300 if t.wine else 5000), "deepest path only %d bytes" % deepest)
    expect_times("out/" + entries[0].name, entries[0])
    expect_eq(snapshot("out"), expected_tree(entries), "tree")


def round_trip(t, source, skip=None):
    entries = pack_tree(source, "a.tree", skip=skip)
    os.mkdir("out")
    r = t.run("a.tree", "out")
    dirs = sum(1 for e in entries if e.is_dir)
    r.expect_finished(0, dirs=dirs, files=len(entries) - dirs, outbytes=sum(e.length for e in entries))
    expect_eq(r.raw_err, b"", "stderr")
    for e in entries:
        expect_times(os.path.join("out", *e.rel), e)
    want = {os.fsencode("/".join(e.rel)): None if e.is_dir else e.content for e in entries}
    got = snapshot("out")
    expect_eq(sorted(got), sorted(want), "paths of the round trip")
    for key, content in want.items():
        expect(got[key] == content, "content differs: %r" % key)
    return entries


@case
def round_trip_of_real_tree(t):
    """A real tree packed from the file system comes back byte for byte with
    every file's and directory's times: /usr/include on Linux, a part of it
    without names Windows cannot hold apart under Wine."""
    if not os.path.isdir("/usr/include"):
        raise Skip("no /usr/include")
    if not t.wine:
        entries = round_trip(t, "/usr/include")
        expect(len(entries) > 1000, "only %d entries" % len(entries))
        return
    source = "/usr/include/linux"
    if not os.path.isdir(source):
        raise Skip("no /usr/include/linux")
    seen = set()

    def windows_unfit(rel):
        # Names that differ only in case are one name on Windows; some bytes are not allowed.
        key = "/".join(rel).lower()
        if key in seen or any(c in rel[-1] for c in ':*?"<>|\\'):
            return True
        seen.add(key)
        return False

    entries = round_trip(t, source, skip=windows_unfit)
    expect(len(entries) > 50, "only %d entries" % len(entries))


# --- The runner ----------------------------------------------------------------

def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("--read-faults", help="the library that makes reads of the archive fail (Linux)")
    parser.add_argument("--swap-helper", help="the Windows program that tries to swap directories (Windows build)")
    args = harness.parse_arguments(parser)
    for option in ("read_faults", "swap_helper"):
        if getattr(args, option):
            setattr(args, option, os.path.abspath(getattr(args, option)))
    return harness.run_cases(harness.CASES, args, lambda scratch: Context(args, scratch), "untree-e2e-")


if __name__ == "__main__":
    sys.exit(main())
