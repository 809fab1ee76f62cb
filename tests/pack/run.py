#!/usr/bin/env python3
"""End-to-end tests of the packer: trees made on disk, packed by the real
binary, the archive read back by this script's own reader and by the real
extractor, and the result compared with the source.

    python3 tests/pack/run.py --pack build/pack/untree-pack --untree build/untree
    python3 tests/pack/run.py --pack build-win/pack/untree-pack.exe \\
        --untree build-win/untree.exe --runner wine

Every case runs in a scratch directory of its own, which is also the working
directory of both programs; paths are passed relative to it, so the same
cases hold under Wine, which sees the directory through Z:. Trees are always
made from Python on the Linux side.
"""
import errno
import fcntl
import os
import pty
import pwd
import random
import re
import resource
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from harness import Skip, case, expect, expect_eq  # noqa: E402

EPOCH = 116444736000000000  # FILETIME of 1970-01-01
CHUNK = 1048576
T2001 = 978307200 * 10**9 + 123456789  # a time with nanoseconds beyond 100 ns
PARTIAL = re.compile(r".*\.partial-\d+(-\d+)?\Z")


# --- Reading an archive, independently of the product's reader -----------------

class Entry:
    def __init__(self, name, path, depth, attributes, times, length, offset, mode=0):
        self.name, self.path, self.depth, self.attributes = name, path, depth, attributes
        self.creation, self.write, self.access = times
        self.length, self.offset = length, offset
        self.mode = mode  # the extension's: MODE_KNOWN, MODE_LINK and the permission bits; 0 in a plain one

    @property
    def is_link(self):
        return bool(self.mode & harness.MODE_LINK)

    @property
    def is_dir(self):
        return bool(self.attributes & 0x10)


def read_archive(path):
    """The entries of an archive, after checking every rule a writer must keep."""
    with open(path, "rb") as f:
        blob = f.read()
    expect(len(blob) >= 8, "archive shorter than its trailer")
    names_size, records_size = struct.unpack_from("<II", blob, len(blob) - 8)
    expect(records_size % 40 == 0, "records_size %d not a multiple of 40" % records_size)
    expect(names_size + records_size + 8 < 2**31, "index regions too large")
    names_at = len(blob) - 8 - records_size - names_size
    expect(names_at >= 0, "index regions larger than the file")
    lines = blob[names_at:names_at + names_size].split(b"\n")
    expect(lines[-1] == b"", "name region does not end with a line feed")
    lines = lines[:-1]
    count = records_size // 40
    footer = harness.footer_of(blob)
    if footer:
        lines = lines[:-1]  # the footer closes the name region
        expect_eq(footer[2], harness.crc32c(blob[names_at:names_at + names_size - harness.FOOTER_BYTES]),
                  "checksum of the names")
        expect_eq(footer[3], harness.crc32c(blob[len(blob) - 8 - records_size:len(blob) - 8]),
                  "checksum of the records")
    expect_eq(len(lines), count, "name lines against records")
    entries, offset = [], 0
    path = []  # the names of the entry and its ancestors, as the file system spells them
    last = []  # the last name met at each depth, under the current ancestors
    previous = None
    for i in range(count):
        low, high, depth, attributes, c, w, a, reserved = struct.unpack_from(
            "<IBBHQQQ8s", blob, len(blob) - 8 - records_size + 40 * i)
        name = lines[i]
        mode = 0
        if footer:
            at = len(blob) - 8 - records_size + 40 * i
            mode, crc, check = struct.unpack("<HIH", reserved)
            expect_eq(check, harness.crc16(blob[at:at + 38] + name), "entry %d: its check" % i)
            length = (high << 32) | low
            if not attributes & 0x10 and length <= 4 * CHUNK:
                expect_eq(crc, harness.crc32c(blob[offset:offset + length]), "entry %d: content checksum" % i)
        else:
            expect(reserved == bytes(8), "entry %d: reserved bytes not zero" % i)
        expect(depth <= 254, "entry %d: depth %d" % (i, depth))
        if previous is None:
            expect_eq(depth, 0, "depth of the first entry")
        else:
            expect(depth <= previous.depth + 1, "entry %d: depth jumps" % i)
            expect(depth <= previous.depth or previous.is_dir, "entry %d: child of a file" % i)
        expect(name and name not in (b".", b"..") and not any(c in name for c in b"\\/:\0"),
               "entry %d: name %r" % (i, name))
        expect(not any(0xF0 <= b for b in name), "entry %d: a four-byte sequence in %r" % (i, name))
        del path[depth:]
        path.append(cesu8_to_utf8(name))
        del last[depth + 1:]
        if len(last) > depth:
            expect(last[depth] < name, "siblings out of order: %r before %r" % (last[depth], name))
            last[depth] = name
        else:
            last.append(name)
        length = (high << 32) | low
        entry = Entry(name, b"/".join(path), depth, attributes, (c, w, a), 0 if attributes & 0x10 else length,
                      offset, mode)
        if entry.is_dir:
            expect_eq(length, 0, "length of directory %r" % entry.path)
        offset += entry.length
        entries.append(entry)
        previous = entry
    expect_eq(offset, names_at, "data region against the content lengths")
    return entries, blob


def expect_entries(archive, paths):
    """The archive keeps every rule and holds exactly these paths, in order."""
    entries, _ = read_archive(archive)
    expect_eq([e.path for e in entries], paths, "entries")


def cesu8(text):
    """Every UTF-16 unit on its own."""
    utf16 = text.encode("utf-16-le")
    return b"".join(chr(u).encode("utf-8", "surrogatepass") for u in struct.unpack("<%dH" % (len(utf16) // 2), utf16))


def cesu8_to_utf8(name):
    """A name line as UTF-8, surrogate pairs joined; refuses what is not CESU-8."""
    units = name.decode("utf-8", "surrogatepass")  # one character per UTF-16 unit
    return units.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass").encode(
        "utf-8", "surrogatepass")


# --- Trees on disk ----------------------------------------------------------------

def open_quietly(name, flags, dir_fd=None):
    """Opens without moving the access time, so the tests' own looks do not
    change what the packer is to record."""
    try:
        return os.open(name, flags | os.O_NOATIME, dir_fd=dir_fd)
    except PermissionError:
        return os.open(name, flags, dir_fd=dir_fd)


def snapshot(root):
    """relative path (bytes, "/"-joined) -> lstat result for everything below
    root, at any depth."""
    return {rel: st for rel, st, _, _ in harness.walk_tree(root, opener=open_quietly)}


def read_at(root, rel):
    parts = rel.split(b"/")
    fd = open_quietly(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in parts[:-1]:
            nfd = open_quietly(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        f = open_quietly(parts[-1], os.O_RDONLY, dir_fd=fd)
        with os.fdopen(f, "rb") as fh:
            return fh.read()
    finally:
        os.close(fd)


def regular(tree, links=False):
    """What an archive holds of a tree: directories and files, and links
    where it keeps them (an extended archive made on Linux)."""
    return {k: v for k, v in tree.items()
            if stat.S_ISDIR(v.st_mode) or stat.S_ISREG(v.st_mode) or (links and stat.S_ISLNK(v.st_mode))}


def filetime(ns):
    return ns // 100 + EPOCH


def compare_archive(entries, blob, src, tree, t):
    """The archive holds exactly the source's directories and files, with
    their bytes, times and attributes."""
    links = any(e.is_link for e in entries)
    expect_eq(sorted(e.path for e in entries), sorted(regular(tree, links)), "entries against the source")
    for e in entries:
        st = tree[e.path]
        if e.is_link:
            expect_eq(blob[e.offset:e.offset + e.length], os.readlink(os.path.join(os.fsencode(src), e.path)),
                      "target of %r" % e.path)
            continue
        if e.mode:
            expect_eq(e.mode, harness.MODE_KNOWN | stat.S_IMODE(st.st_mode), "mode of %r" % e.path)
        expect_eq(e.is_dir, stat.S_ISDIR(st.st_mode), "kind of %r" % e.path)
        expect_eq(e.write, filetime(st.st_mtime_ns), "write time of %r" % e.path)
        expect_eq(e.access, filetime(st.st_atime_ns), "access time of %r" % e.path)
        expect_eq(bool(e.attributes & 1), not st.st_mode & stat.S_IWUSR, "read-only bit of %r" % e.path)
        if not t.wine:
            expect_eq(e.attributes & ~1, 0x10 if e.is_dir else 0x20, "attributes of %r" % e.path)
        if not e.is_dir:
            expect(blob[e.offset:e.offset + e.length] == read_at(src, e.path), "content of %r" % e.path)


def compare_trees(src, dest, tree=None):
    """The extracted tree against its source: kinds, bytes, write times to 100 ns, read-only."""
    got = snapshot(dest)
    want = regular(tree or snapshot(src), any(stat.S_ISLNK(g.st_mode) for g in got.values()))
    expect_eq(sorted(got), sorted(want), "extracted paths")
    for rel, st in want.items():
        g = got[rel]
        if stat.S_ISLNK(st.st_mode):
            expect_eq(os.readlink(os.path.join(os.fsencode(dest), rel)),
                      os.readlink(os.path.join(os.fsencode(src), rel)), "target of %r" % rel)
            continue
        expect_eq(stat.S_IFMT(g.st_mode), stat.S_IFMT(st.st_mode), "kind of %r" % rel)
        expect_eq(g.st_mtime_ns // 100, st.st_mtime_ns // 100, "write time of %r" % rel)
        if stat.S_ISREG(st.st_mode):
            expect_eq(bool(g.st_mode & stat.S_IWUSR), bool(st.st_mode & stat.S_IWUSR), "writable %r" % rel)
            expect(read_at(dest, rel) == read_at(src, rel), "content of %r" % rel)


def set_times(root, tree_times):
    """Sets (atime, mtime) in ns on paths under root, deepest first, so a
    directory's times are not moved by changes inside it afterwards."""
    for rel in sorted(tree_times, key=lambda p: -p.count(b"/")):
        os.utime(os.path.join(os.fsencode(root), rel), ns=tree_times[rel], follow_symlinks=False)


def write(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)


def no_partials(directory="."):
    left = [n for n in os.listdir(directory) if PARTIAL.match(n)]
    expect(not left, "temporary archives left behind: %r" % left)


# --- Running the programs -----------------------------------------------------------

class Context(harness.Context):
    def __init__(self, args, scratch):
        super().__init__(args, scratch)
        self.pack_binary = args.pack
        self.sep = b"\\" if self.wine else b"/"

    def _run(self, binary, args, preexec_fn=None, env=None):
        if env:
            cmd, base = self.command(binary, args)
            p = subprocess.run(cmd, env=dict(base, **env), preexec_fn=preexec_fn, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=900)
        else:
            p = self.run_program(binary, args, preexec_fn=preexec_fn)
        out, err = p.stdout, p.stderr
        if self.wine:
            out, err = out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")
        return p.returncode, out, err

    def pack(self, *args, preexec_fn=None, env=None):
        """rc, stdout, and stderr as lines; `env` is added to the environment."""
        binary = self.pack_binary
        if preexec_fn:
            # The build tree may lie where another user cannot reach (under
            # /root, say): that user runs a copy inside the scratch directory.
            binary = os.path.join(self.scratch, "untree-pack-copy")
            if not os.path.exists(binary):
                shutil.copy(self.pack_binary, binary)
                os.chmod(binary, 0o755)
        rc, out, err = self._run(binary, args, preexec_fn, env)
        expect(not err or err.endswith(b"\n"), "stderr ends without a line end: %r" % err[-200:])
        lines = err.split(b"\n")[:-1]
        for line in lines:
            expect(line.startswith(b"untree-pack: "), "a line without the program's name: %r" % line[:200])
        return rc, out, [line[len(b"untree-pack: "):] for line in lines]

    def calls(self, fail=None):
        """The environment that preloads output_calls.c: the calls that
        finish the archive are logged to calls.log (and `fail` fails)."""
        if not self.args.output_calls:
            raise Skip("no output_calls library given")
        if os.path.exists("calls.log"):
            os.unlink("calls.log")
        env = {"LD_PRELOAD": self.args.output_calls, "UNTREE_CALLS_LOG": os.path.abspath("calls.log")}
        if fail:
            env["UNTREE_CALLS_FAIL"] = fail
        return env

    def logged(self):
        """The calls logged so far, the process ID of a temporary name made PID."""
        if not os.path.exists("calls.log"):
            return []
        return re.sub(r"\.partial-\d+", ".partial-PID", open("calls.log").read()).splitlines()

    def extract(self, archive, dest):
        os.mkdir(dest)
        rc, out, err = self._run(self.untree, [archive, dest])
        expect_eq((rc, err), (0, b""), "extractor exit status and stderr")

    def path(self, *names):
        """A path as the packer shows it: SOURCE_DIR as typed, then the names."""
        return self.sep.join(n if isinstance(n, bytes) else n.encode() for n in names)

    def pack_whole(self, src="src", archive="out.tree"):
        rc, out, err = self.pack(src, archive)
        expect_eq((rc, out, err), (0, b"", []), "packing %s" % src)
        no_partials()
        return read_archive(archive)


def as_nobody():
    """Runs the child as an unprivileged user when the tests run as root, so
    that permissions mean something."""
    if os.geteuid() != 0:
        return None
    user = pwd.getpwnam("nobody")

    def drop():
        os.setgroups([])
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)
    return drop


def open_to_all(t):
    """Lets an unprivileged child into the scratch directory."""
    os.chmod(os.path.dirname(t.scratch), 0o755)
    os.chmod(t.scratch, 0o777)


# --- Cases ---------------------------------------------------------------------------

def make_mixed_tree(t):
    os.makedirs("src/a/b/c")
    os.makedirs("src/empty")
    os.makedirs("src/ma\u00f1ana")
    write("src/a/b/c/deep.txt", b"deep\n")
    write("src/zero")
    rng = random.Random(7)
    write("src/big.bin", rng.randbytes(2 * CHUNK + 1))       # in-kernel where it can, three chunks otherwise
    write("src/chunk.bin", rng.randbytes(CHUNK))              # exactly fills the copy buffer
    for i in range(5):
        write("src/a/small%d" % i, rng.randbytes(rng.randrange(1, 200000)))
    write("src/\U0001F600.txt", b"smile")
    write("src/\u4e2d\u6587", b"zh")
    write("src/\uff21", b"fullwidth A")
    write("src/ma\u00f1ana/\u00e9", b"e")
    write("src/Zebra", b"capital sorts first")
    write("src/readonly.txt", b"keep me")
    os.chmod("src/readonly.txt", 0o444)
    times = {}
    for i, rel in enumerate(sorted(snapshot("src"))):
        times[rel] = (T2001 + i * 1000003, T2001 + 86400 * 10**9 + i * 7777777)
    set_times("src", times)


@case
def round_trip(t):
    make_mixed_tree(t)
    tree = snapshot("src")
    entries, blob = t.pack_whole()
    compare_archive(entries, blob, "src", tree, t)
    expect_eq(cesu8("\U0001F600.txt"), b"\xed\xa0\xbd\xed\xb8\x80.txt", "CESU-8 of U+1F600")
    expect(cesu8("\U0001F600.txt") in [e.name for e in entries], "no CESU-8 name line for U+1F600")
    # By UTF-16 units: U+FF21 after U+1F600's high surrogate, where UTF-8 would put it before.
    names = [e.name for e in entries if e.depth == 0]
    expect(names.index(cesu8("\uff21")) > names.index(cesu8("\U0001F600.txt")), "U+FF21 sorted by UTF-8")
    expect_eq([e.path for e in entries if e.depth == 0][:2], [b"Zebra", b"a"], "first siblings")
    t.extract("out.tree", "dest")
    compare_trees("src", "dest", tree)
    if not t.wine:  # Wine's own reads move them
        expect_eq({k: v.st_atime_ns for k, v in snapshot("src").items()},
                  {k: v.st_atime_ns for k, v in tree.items()}, "access times after packing")


# --- The extension: modes, links, checksums ------------------------------------------

MODES = {b"secret": 0o600, b"private": 0o700, b"tool": 0o755, b"group-id": 0o2755, b"user-id": 0o4755,
         b"shared": 0o1777, b"private/key": 0o600, b"locked": 0o500, b"locked/inside": 0o644}
LINKS = {b"relative": b"tool", b"absolute": b"/tmp", b"dangling": b"nowhere", b"to-dir": b"private",
         b"up": b"..", b"private/back": b"../secret"}


def make_extended_tree():
    os.mkdir("src")
    for rel, mode in sorted(MODES.items()):
        path = os.path.join(b"src", rel)
        if rel in (b"private", b"shared", b"locked"):
            os.mkdir(path)
        else:
            write(path, b"content of " + rel)
    for rel, target in LINKS.items():
        os.symlink(target, os.path.join(b"src", rel))
    for rel, mode in sorted(MODES.items(), key=lambda kv: -kv[0].count(b"/")):
        os.chmod(os.path.join(b"src", rel), mode)


def tree_of(root):
    """Kinds, bytes (a link's target), write times and modes below root."""
    out = {}
    for rel, st in snapshot(root).items():
        path = os.path.join(os.fsencode(root), rel)
        data = os.readlink(path) if stat.S_ISLNK(st.st_mode) else read_at(root, rel) if stat.S_ISREG(st.st_mode) \
            else None
        out[rel] = (stat.S_IFMT(st.st_mode), data, st.st_mtime_ns // 100, stat.S_IMODE(st.st_mode))
    return out


@case
def extension_read_by_the_original_rules(t):
    # A reader that knows nothing of the extension makes of an extended
    # archive the very tree the plain one gives, each link a small file
    # holding its target.
    make_extended_tree()
    os.chmod("src/locked", 0o755)  # the original rules make no directory unwritable
    # A Windows packer leaves the links out, as --plain does.
    expect_eq(t.pack("src", "ext.tree")[0], 2 if t.wine else 0, "packing")
    expect_eq(t.pack("--plain", "src", "plain.tree")[0], 2, "packing plain")
    ext, plain = open("ext.tree", "rb").read(), open("plain.tree", "rb").read()
    expect(harness.footer_of(ext) and not harness.footer_of(plain), "footer in the extended archive only")
    for name, blob in (("ext", ext), ("plain", plain)):
        os.mkdir(name)
        harness.original_extract(blob, name)
    # Modes are the reader's own (its umask), the same in both.
    got, want = tree_of("ext"), tree_of("plain")
    if not t.wine:
        for rel, target in LINKS.items():
            want[rel] = (stat.S_IFREG, target, got[rel][2], got[rel][3])
            expect_eq(got[rel][2], snapshot("src")[rel].st_mtime_ns // 100, "write time of the link " + rel.decode())
    expect_eq(got, want, "the tree of the original rules")


def extract_as(t, archive, dest, preexec_fn=None):
    os.mkdir(dest)
    if preexec_fn:
        os.chmod(dest, 0o777)
    p = subprocess.run([t.untree, archive, dest], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       preexec_fn=preexec_fn)
    return p.returncode, p.stderr


@case
def modes_and_links_round_trip(t):
    t.linux_only("Windows keeps the attribute word only")
    make_extended_tree()
    want = tree_of("src")
    expect_eq(t.pack("src", "out.tree")[0], 0, "packing")
    os.chmod("out.tree", 0o644)
    runs = [("root", None, 0)]
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")

        def as_other():
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            os.umask(0o027)
        runs.append(("nobody", as_other, 0o027))
    for who, drop, umask in runs:
        dest = "dest-" + who
        rc, err = extract_as(t, "out.tree", dest, drop)
        expect_eq((rc, err), (0, b""), "extraction as " + who)
        got = tree_of(dest)
        expect_eq(sorted(got), sorted(want), "entries as " + who)
        for rel, (kind, data, write_time, mode) in want.items():
            if kind == stat.S_IFLNK:
                expect_eq(got[rel][:3], (kind, data, write_time), "link %r as %s" % (rel, who))
                continue
            expected = mode & ~0o6000 & ~umask  # set-id bits never; the umask for anyone but root
            expect_eq(got[rel], (kind, data, write_time, expected), "%r as %s" % (rel, who))
    # A link the run made is never followed: not as a directory named again
    # below it, not as a file of its name.
    link, known = harness.MODE_LINK | harness.MODE_KNOWN | 0o777, harness.MODE_KNOWN | 0o644
    write("crafted.tree", harness.extended_archive([
        (b"a", 0, 0x20, link, b"/tmp"), (b"b", 0, 0x20, link, b".."), (b"a", 0, 0x10, known | 0o111, None),
        (b"x", 1, 0x20, known, b"X"), (b"b", 0, 0x20, known, b"Y")]))
    before = set(os.listdir("/tmp"))
    rc, err = extract_as(t, "crafted.tree", "dest-links")
    expect_eq(set(os.listdir("/tmp")), before, "what is in /tmp")
    expect_eq((os.readlink("dest-links/a"), os.readlink("dest-links/b")), ("/tmp", ".."), "the links")
    expect_eq(rc, 2, "exit status")
    # Known from the archive as names taken already, before anything is made.
    expect_eq(err, b"duplicate name skipped: <a> (entry 3, the same name as entry 1)\n"
                   b"duplicate name skipped: <b> (entry 5, the same name as entry 2)\n", "the entries after the links")
    # A second run over the links it made: still never followed.
    os.unlink("dest-links/b")
    rc = subprocess.run([t.untree, "crafted.tree", "dest-links"], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL).returncode
    expect_eq(rc, 2, "exit status of the second run")
    expect_eq(set(os.listdir("/tmp")), before, "what is in /tmp after the second run")
    expect_eq(os.readlink("dest-links/b"), "..", "link b made again")
    # A link that stands where the archive's link goes is kept or replaced
    # as a file would be (the archive's link has no time: the one there is
    # newer).
    write("one-link.tree", harness.extended_archive([(b"l", 0, 0x20, link, b"new")]))
    def there(n):
        return b"<\\\\?\\" + os.fsencode(os.path.abspath("dest-kept%d" % n)) + b"\\l>"
    for n, (options, rc, target, err) in enumerate((
            ([], 0, "new", b""),
            (["-k"], 2, "old", b"symlink error with " + there(1) + b": " + os.strerror(errno.EEXIST).encode() + b"\n"),
            (["--skip-old-files"], 0, "old", b""),
            (["--keep-newer-files"], 0, "old", b"newer file kept: " + there(3) + b"\n"))):
        dest = "dest-kept%d" % n
        os.mkdir(dest)
        os.symlink("old", os.path.join(dest, "l"))
        p = subprocess.run([t.untree, *options, "one-link.tree", dest], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
        expect_eq((p.returncode, p.stderr, os.readlink(os.path.join(dest, "l"))), (rc, err, target),
                  "a link there, with %s" % options)


def flip(blob, at):
    return blob[:at] + bytes([blob[at] ^ 0x20]) + blob[at + 1:]


@case
def damage_found_and_pinned(t):
    # One byte flipped in each region: a content, a record, a name, the
    # footer. Each is found before or while writing, pinned, exit 2.
    os.mkdir("src")
    write("src/first", b"one")
    write("src/second", b"two!")
    if t.wine:
        write("src/third", b"first")  # a Windows packer stores no link
    else:
        os.symlink("first", "src/third")
    expect_eq(t.pack("src", "out.tree")[0], 0, "packing")
    blob = open("out.tree", "rb").read()
    entries, _ = read_archive("out.tree")
    names_size, records_size = struct.unpack_from("<II", blob, len(blob) - 8)
    records_at = len(blob) - 8 - records_size
    names_at = records_at - names_size
    sep = b"\\"
    rows = [
        ("content of second", entries[1].offset + 2, [b"checksum mismatch in <", sep + b"second>"]),
        ("target of third", entries[2].offset, [b"checksum mismatch in <", sep + b"third>"]),
        ("record of second", records_at + 40 + 9, [b"archive corrupt at entry 2: record or name damaged"]),
        ("mode of first", records_at + 32, [b"archive corrupt at entry 1: record or name damaged"]),
        ("name of third", names_at + len(b"first\nsecond\nt"), [b"archive corrupt at entry 3: record or name"]),
        ("footer", records_at - 20, [b"archive corrupt: extension footer damaged"]),
    ]
    for what, at, said in rows:
        write("bad.tree", flip(blob, at))
        dest = "dest-" + what.replace(" ", "-")
        os.mkdir(dest)
        p = t.run_program(t.untree, ["bad.tree", dest])
        err = p.stderr.replace(b"\r\n", b"\n")
        expect_eq(p.returncode, 2, "exit status, " + what)
        for piece in said:
            expect(piece in err, "%s: %r not in %r" % (what, piece, err))
    # The entries before a damaged record are extracted, those from it on not.
    expect_eq(sorted(os.listdir("dest-record-of-second")), ["first"], "extracted before the damaged record")
    # A damaged content is kept for salvage.
    expect_eq(open("dest-content-of-second/second", "rb").read(), b"twO!", "the damaged file kept")
    # And no byte anywhere before the trailer, flipped, passes (natively:
    # the same code, and a Wine start per byte).
    for at in range(0 if t.wine else len(blob) - 8):
        write("bad.tree", flip(blob, at))
        shutil.rmtree("dest", ignore_errors=True)
        os.mkdir("dest")
        rc = t.run_program(t.untree, ["bad.tree", "dest"]).returncode
        expect(rc != 0, "byte %d flipped: exit status %d" % (at, rc))


@case
def plain_archives_as_before(t):
    # Random reserved bytes and lines after the last record's: a plain
    # archive for all that, extracted as before, without a checksum line.
    make_mixed_tree(t)
    rng = random.Random(23)
    rc, out, err = t.pack("--plain", "src", "plain.tree")
    blob = open("plain.tree", "rb").read()
    names_size, records_size = struct.unpack_from("<II", blob, len(blob) - 8)
    records_at = len(blob) - 8 - records_size
    records = bytearray(blob[records_at:len(blob) - 8])
    for i in range(0, records_size, 40):
        records[i + 32:i + 40] = bytes(rng.randrange(256) for _ in range(8))
    extra = b"".join(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 80))).replace(b"\n", b"") + b"\n"
                     for _ in range(5)) + b"\\untree:01 not a footer\n"
    noisy = blob[:records_at] + extra + bytes(records) + struct.pack("<II", names_size + len(extra), records_size)
    write("noisy.tree", noisy)
    t.extract("plain.tree", "dest-plain")
    t.extract("noisy.tree", "dest-noisy")
    expect_eq(tree_of("dest-noisy"), tree_of("dest-plain"), "the two extractions")


@case
def creation_times(t):
    t.linux_only("Wine reports the birth time its own way")
    os.mkdir("src")
    write("src/f", b"x")
    os.utime("src/f", ns=(T2001, T2001))
    entries, _ = t.pack_whole()
    out = subprocess.run(["stat", "-c", "%W %.9W", "src/f"], stdout=subprocess.PIPE, check=True).stdout.split()
    if out[0] == b"0":
        expect_eq(entries[0].creation, entries[0].write, "creation time without a birth time")
    else:
        seconds, fraction = out[1].split(b".")
        expect_eq(entries[0].creation, filetime(int(seconds) * 10**9 + int(fraction)), "creation = birth time")


@case
def real_tree(t):
    if not os.path.isdir("/usr/include"):
        raise Skip("no /usr/include")
    # Under Wine a smaller part of it: every file costs a Wine round trip.
    source = "/usr/include/linux" if t.wine else "/usr/include"
    shutil.copytree(source, "src", symlinks=True)
    links = sorted(rel for rel, st in snapshot("src").items() if stat.S_ISLNK(st.st_mode))
    if t.wine:
        # Windows holds one of xt_MARK.h and xt_mark.h.
        seen = set()
        for rel in sorted(snapshot("src")):
            if rel.lower() in seen:
                os.unlink(os.path.join(b"src", rel))
                links = [link for link in links if link != rel]
            seen.add(rel.lower())
    tree = snapshot("src")
    files = sum(1 for st in tree.values() if stat.S_ISREG(st.st_mode))
    expect(files >= (500 if t.wine else 2000), "only %d files in the copy" % files)
    start = time.time()
    rc, out, err = t.pack("src", "out.tree")
    took = time.time() - start
    if not t.wine:
        links = []  # stored as links
    expect_eq(rc, 2 if links else 0, "exit status")
    expect_eq(sorted(err), sorted(b"symbolic link skipped: <" + t.path("src", *rel.split(b"/")) + b">"
                                  for rel in links), "reports")
    entries, blob = read_archive("out.tree")
    compare_archive(entries, blob, "src", tree, t)
    t.extract("out.tree", "dest")
    compare_trees("src", "dest", tree)
    print("        %d files, %d bytes packed in %.2fs" % (files, len(blob), took))


@case
def reproducible(t):
    make_mixed_tree(t)
    if t.wine:
        # Wine's reads move access times that are not newer than the last
        # change (relatime); with later ones the packer's own part is left.
        later = time.time_ns() + 3600 * 10**9
        set_times("src", {rel: (later, st.st_mtime_ns) for rel, st in snapshot("src").items()})
    t.pack_whole("src", "one.tree")
    t.pack_whole("src", "two.tree")
    with open("one.tree", "rb") as a, open("two.tree", "rb") as b:
        expect(a.read() == b.read(), "two packs of one tree differ")


@case
def empty_tree(t):
    os.mkdir("src")
    entries, blob = t.pack_whole()
    expect_eq(blob, bytes(8), "archive of an empty tree")
    t.extract("out.tree", "dest")
    expect_eq(os.listdir("dest"), [], "extracted empty tree")


@case
def limits_of_depth(t):
    # 255 nested directories reach depth 254, the deepest an archive holds;
    # what lies below is left out, one line each, and the rest restores.
    path = "src"
    os.mkdir(path)
    for _ in range(255):
        path += "/d"
        os.mkdir(path)
    write("src/top", b"kept")
    write(path + "/f", b"one level too deep")
    os.makedirs(path + "/e/below")
    rc, out, err = t.pack("src", "out.tree")
    deep = t.path("src", *["d"] * 255)
    expect_eq((rc, err), (2, [b"deeper than 255 levels, skipped: <" + deep + t.sep + name + b">" for name in (b"e", b"f")]),
              "exit status and reports")
    entries, _ = read_archive("out.tree")
    expect_eq((len(entries), max(e.depth for e in entries)), (256, 254), "entries and deepest depth")
    t.extract("out.tree", "dest")
    expect(os.path.isdir("dest/" + "/".join(["d"] * 255)) and os.path.isfile("dest/top"), "restored tree")


@case
def limits_of_path(t):
    t.linux_only("Wine's own paths end near 4,096 bytes")
    # 140 levels of 254-byte names: legal on Linux, but past what untree can
    # build at level 113 (28,672 characters of path inside the archive).
    os.mkdir("src")
    fd = os.open("src", os.O_RDONLY | os.O_DIRECTORY)
    for i in range(140):
        name = "%03d" % i + "x" * 251
        os.mkdir(name, dir_fd=fd)
        nfd = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = nfd
    os.close(fd)
    rc, out, err = t.pack("src", "out.tree")
    expect_eq((rc, len(err)), (2, 1), "exit status and lines on stderr")
    expect(err[0].startswith(b"path too long to restore, skipped: <src/000x") and b"/112x" in err[0]
           and b"/111x" in err[0] and b"/113x" not in err[0], "report %r" % err[0][:60])
    entries, _ = read_archive("out.tree")
    expect_eq((len(entries), max(len(e.path) for e in entries)), (112, 112 * 255 - 1), "entries and longest path")
    t.extract("out.tree", "dest")


@case
def long_paths(t):
    # Beyond PATH_MAX on Linux, beyond MAX_PATH under Wine (whose own Unix
    # side stops at PATH_MAX).
    width, levels = (150, 20) if t.wine else (200, 40)
    os.mkdir("src")
    fd = os.open("src", os.O_RDONLY | os.O_DIRECTORY)
    for i in range(levels):
        name = ("%03d" % i) * (width // 3)
        os.mkdir(name, dir_fd=fd)
        nfd = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = nfd
    f = os.open("bottom.txt", os.O_WRONLY | os.O_CREAT, dir_fd=fd)
    os.write(f, b"at the bottom")
    os.close(f)
    os.close(fd)
    entries, _ = t.pack_whole()
    deepest = max(len(e.path) for e in entries)
    expect(deepest > (2000 if t.wine else 5000), "deepest path only %d bytes" % deepest)
    t.extract("out.tree", "dest")
    compare_trees("src", "dest")


@case
def large_files(t):
    # Sparse: 1 TiB is more than an entry holds; 4 GiB + 5 bytes take the
    # fifth byte of the length.
    os.mkdir("src")
    write("src/small", b"x")
    with open("src/huge", "wb") as f:
        try:
            f.truncate(2**40)
        except OSError as e:
            raise Skip("no sparse file of 1 TiB here: %s" % e)
    # Under a file size limit: a packer that took it would fill the disk.
    # (Not under Wine: the wineserver it starts would inherit the limit.)
    limit = None if t.wine else lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (CHUNK, CHUNK))
    rc, out, err = t.pack("src", "out.tree", preexec_fn=limit)
    expect_eq(rc, 1, "exit status")
    expect_eq(err, [b"<" + t.path("src", "huge") + b"> holds 1099511627776 bytes, more than the "
                    b"1099511627775 an archive entry can; no archive written"], "refusal")
    expect(not os.path.exists("out.tree"), "an archive was written")
    no_partials()

    t.linux_only("packing 4 GiB takes Wine minutes")
    # On tmpfs the holes read as shared zero pages, and the 4 GiB pass from
    # the packer's pipe to /dev/null unread.
    src = os.path.join("/dev/shm", "untree-pack-%d" % os.getpid())
    if not os.path.isdir("/dev/shm"):
        raise Skip("no /dev/shm for a sparse file of 4 GiB")
    os.makedirs(src)
    try:
        with open(src + "/big", "wb") as f:
            try:
                f.truncate(2**32 + 5)
            except OSError as e:
                raise Skip("no sparse file of 4 GiB on /dev/shm: %s" % e)
            f.seek(-5, os.SEEK_END)
            f.write(b"TAIL!")
        write(src + "/next", b"own")
        p = subprocess.Popen([t.pack_binary, src, "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        fcntl.fcntl(p.stdout, 1031, CHUNK)  # F_SETPIPE_SZ: fewer, larger moves
        null, left = os.open(os.devnull, os.O_WRONLY), 2**32
        while left:
            moved = os.splice(p.stdout.fileno(), null, left)
            if not moved:
                break
            left -= moved
        os.close(null)
        rest, err = p.stdout.read(), p.stderr.read()
        expect_eq((p.wait(), err, left), (0, b"", 0), "exit status, stderr, content bytes missing")
    finally:
        shutil.rmtree(src)
    # What follows the first 4 GiB: the end of big, next, the index.
    names_size, records_size = struct.unpack("<II", rest[-8:])
    lengths = [struct.unpack_from("<IB", rest, len(rest) - 8 - records_size + 40 * i) for i in range(2)]
    names = 8 + names_size - harness.FOOTER_BYTES  # the extension's footer closes the names
    expect_eq((rest[:names], records_size, lengths), (b"TAIL!ownbig\nnext\n", 80, [(5, 1), (3, 0)]),
              "data, names and the lengths (size_low, size_high) of big and next")
    expect(harness.footer_of(rest), "no extension footer")


@case
def skipped_kinds(t):
    # Under Wine too: a link shows there as what it leads to, a FIFO or a
    # device as a file, and only the packer's own look tells. A socket Wine
    # cannot open at all, and a dangling link it does not list (the README
    # says so).
    os.makedirs("src/dir")
    write("src/dir/keep", b"kept")
    os.symlink("dir/keep", "src/link-to-file")
    os.symlink("dir", "src/link-to-dir")
    os.symlink("/dev/null", "src/link-to-device")
    os.symlink("nowhere", "src/dir/dangling")
    os.mkfifo("src/fifo")
    s = socket.socket(socket.AF_UNIX)
    if not t.wine:
        s.bind("src/dir/sock")
    # In the archive's order, as the entries they speak of.
    expected = [b"symbolic link skipped: <src/dir/dangling>"] + ([] if t.wine else [b"socket skipped: <src/dir/sock>"]) + [
        b"FIFO skipped: <src/fifo>", b"symbolic link skipped: <src/link-to-device>",
        b"symbolic link skipped: <src/link-to-dir>", b"symbolic link skipped: <src/link-to-file>"]
    try:
        os.mknod("src/null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        expected.append(b"device skipped: <src/null>")
    except PermissionError:
        pass
    if t.wine:
        # Wine lists no link that leads nowhere: no Windows program sees it.
        expected = [line.replace(b"/", t.sep) for line in expected[1:]]
    # --plain leaves links out as before; by default Linux stores them, and
    # a Windows build leaves them out still.
    links = [b"dir/dangling", b"link-to-device", b"link-to-dir", b"link-to-file"]
    for plain in (True, False):
        stored = not plain and not t.wine
        rc, out, err = t.pack(*(["--plain"] if plain else []), "src", "out.tree")
        expect_eq((rc, out), (2, b""), "exit status and stdout")
        expect_eq(err, [line for line in expected if not (stored and line.startswith(b"symbolic"))], "reports")
        entries, _ = read_archive("out.tree")
        expect_eq(sorted(e.path for e in entries),
                  sorted([b"dir", b"dir/keep"] + (links if stored else [])), "entries")
        expect_eq(sorted(e.path for e in entries if e.is_link), links if stored else [], "links")
    s.close()


@case
def skipped_names(t):
    t.linux_only("Windows names are always UTF-16 and never hold these")
    os.mkdir(b"src")
    bad = {b"bad\xff": b"name not valid UTF-8, skipped: <src/bad\\xFF>",
           b"\xed\xa0\x80sur": b"name not valid UTF-8, skipped: <src/\\xED\\xA0\\x80sur>",  # an encoded surrogate
           b"\xc0\xae\xc0\xae": b"name not valid UTF-8, skipped: <src/\\xC0\\xAE\\xC0\\xAE>",  # overlong ".."
           b"back\\slash": b'name holds "\\" or ":", skipped: <src/back\\slash>',
           b"co:lon": b'name holds "\\" or ":", skipped: <src/co:lon>',
           b"line\nfeed": b"name holds a line feed, skipped: <src/line\\x0Afeed>"}
    for name in bad:
        write(b"src/" + name, b"x")
    os.mkdir(b"src/dir\xfe")  # skipped with everything in it
    write(b"src/dir\xfe/inside", b"x")
    bad[b"dir\xfe"] = b"name not valid UTF-8, skipped: <src/dir\\xFE>"
    write(b"src/good \xc3\xa9", b"kept")
    rc, out, err = t.pack("src", "out.tree")
    expect_eq(rc, 2, "exit status")
    expect_eq(sorted(err), sorted(bad.values()), "reports")
    expect_entries("out.tree", [b"good \xc3\xa9"])


@case
def unreadable_source(t):
    write("plain-file", b"not a directory")
    for source in ("missing", "plain-file"):
        rc, out, err = t.pack(source, "out.tree")
        expect_eq((rc, out, len(err)), (1, b"", 1), "exit status and output for %s" % source)
        expect(err[0].startswith(b"cannot open source directory <%s>: " % source.encode()), "message %r" % err[0])
        expect(not os.path.exists("out.tree"), "an archive was written")
        no_partials()


@case
def unreadable_inside(t):
    t.linux_only("runs the packer as another user")
    open_to_all(t)
    os.makedirs("src/locked/hidden")
    os.makedirs("src/open")
    write("src/open/secret", b"s")
    write("src/open/fine", b"f")
    os.chmod("src/open/secret", 0)
    os.chmod("src/locked", 0)
    os.mkdir("out")
    os.chmod("out", 0o777)
    rc, out, err = t.pack("src", "out/out.tree", preexec_fn=as_nobody())
    expect_eq(rc, 2, "exit status")
    expect_eq(len(err), 2, "lines on stderr: %r" % err)
    expect(err[0].startswith(b"cannot open directory <src/locked>: ") and
           err[0].endswith(b"; skipped with everything in it"), "directory report %r" % err[0])
    expect(err[1].startswith(b"cannot open file <src/open/secret>: ") and err[1].endswith(b"; skipped"),
           "file report %r" % err[1])
    expect_entries("out/out.tree", [b"open", b"open/fine"])


@case
def unwritable_output(t):
    os.mkdir("src")
    write("src/f", b"x")
    os.mkdir("taken")
    rc, out, err = t.pack("src", "missing/out.tree")
    expect_eq(rc, 1, "exit status without the archive's directory")
    expect(len(err) == 1 and err[0].startswith(b"cannot write archive <missing/out.tree>: "),
           "message %r" % err)
    rc, out, err = t.pack("src", "taken")
    expect_eq((rc, err), (1, [b"cannot write archive <taken>: it is a directory"]), "archive on a directory")
    if not t.wine:
        rc, out, err = t.pack("src", "back\\slash.tree")
        expect_eq((rc, err), (1, [b"cannot write archive <back\\slash.tree>: a backslash in its path"]),
                  "archive with a backslash")
    no_partials()


@case
def write_fails_midway(t):
    t.linux_only("a file size limit is set for the packer's process")
    os.mkdir("src")
    write("src/a", bytes(3 * CHUNK))
    write("out.tree", b"the archive before")

    def limit():  # as `ulimit -f` would; SIGXFSZ keeps its default action
        resource.setrlimit(resource.RLIMIT_FSIZE, (CHUNK, CHUNK))
    rc, out, err = t.pack("src", "out.tree", preexec_fn=limit)
    expect_eq((rc, err), (1, [b"cannot write archive <out.tree>: File too large"]), "exit status and message")
    expect_eq(open("out.tree", "rb").read(), b"the archive before", "the old archive")
    no_partials()


# The calls that finish an archive, in order: its content on the disk before
# any name leads to it, its directory on the disk once the name is there.
DURABLE = {
    "new": ["tmpfile", "fdatasync output", "linkat out.tree", "close output", "fsync directory"],
    "replaced": ["tmpfile", "fchmod", "fdatasync output", "linkat out.tree.partial-PID", "close output",
                 "renameat out.tree.partial-PID out.tree", "fsync directory"],
    # A file system without O_TMPFILE: a named temporary file.
    "named": ["temporary out.tree.partial-PID", "fchmod", "fdatasync output", "close output",
              "renameat out.tree.partial-PID out.tree", "fsync directory"],
}


def one_file_packed(t):
    """src holding one file, packed plainly into plain.tree; its bytes."""
    os.mkdir("src")
    write("src/f", b"x" * 100)
    t.pack_whole("src", "plain.tree")
    return open("plain.tree", "rb").read()


@case
def archive_made_durable(t):
    t.linux_only("preloads a library into the packer")
    plain = one_file_packed(t)
    for row, fail in (("new", None), ("replaced", None), ("named", "tmpfile")):
        if row == "new" and os.path.exists("out.tree"):
            os.unlink("out.tree")
        rc, out, err = t.pack("src", "out.tree", env=t.calls(fail))
        expect_eq((rc, err, t.logged()), (0, [], DURABLE[row]), "exit status, stderr and calls: %s" % row)
        expect_eq(open("out.tree", "rb").read(), plain, "the archive: %s" % row)
        no_partials()
    # Streams are written as they go: nothing to flush, nothing to rename.
    os.mkfifo("fifo")
    reader = threading.Thread(target=lambda: open("fifo", "rb").read())
    reader.start()
    for target in ("fifo", "/dev/null", "-"):
        rc, out, err = t.pack("src", target, env=t.calls())
        expect_eq((rc, err, t.logged()), (0, [], []), "exit status, stderr and calls into %s" % target)
    reader.join()


# A call on the archive that fails, and what the user is told; `placed`: the
# new archive is in place all the same.
FAILING_CALLS = [
    ("fchown", b"cannot give archive <out.tree> the owner and permissions of the file it replaces: ", False),
    ("fchmod", b"cannot give archive <out.tree> the owner and permissions of the file it replaces: ", False),
    ("fdatasync", b"cannot flush archive <out.tree> to the disk: ", False),
    ("linkat", b"cannot write archive <out.tree>: ", False),
    ("close", b"cannot write archive <out.tree>: ", False),
    ("renameat", b"cannot write archive <out.tree>: ", False),
    ("fsync", b"archive <out.tree> written, but its directory cannot be flushed to the disk: ", True),
]


@case
def failing_calls_on_the_archive(t):
    t.linux_only("preloads a library into the packer")
    if os.geteuid() != 0:
        raise Skip("gives the replaced archive to another user")
    one_file_packed(t)
    nobody = pwd.getpwnam("nobody")
    eio = os.strerror(errno.EIO).encode()
    for call, message, placed in FAILING_CALLS:
        write("out.tree", b"the archive before")
        os.chown("out.tree", nobody.pw_uid, nobody.pw_gid)  # so that the owner is carried over
        rc, out, err = t.pack("src", "out.tree", env=t.calls(call))
        expect_eq((rc, err), (1, [message + eio + (b"; a power cut may lose it" if placed else b"")]),
                  "exit status and message when %s fails" % call)
        expect_eq(sorted(os.listdir(".")), ["calls.log", "out.tree", "plain.tree", "src"],
                  "files beside the archive when %s fails" % call)
        expect_eq(open("out.tree", "rb").read(), open("plain.tree", "rb").read() if placed else b"the archive before",
                  "the archive when %s fails" % call)
    # New archives: linked at their name at once.
    for call in ("linkat", "close"):
        os.unlink("out.tree")
        rc, out, err = t.pack("src", "out.tree", env=t.calls(call))
        expect_eq((rc, err, sorted(os.listdir("."))),
                  (1, [b"cannot write archive <out.tree>: " + eio], ["calls.log", "plain.tree", "src"]),
                  "a new archive when %s fails" % call)
        write("out.tree")


@case
def archive_inside_source(t):
    # Packed every night into the tree it packs: neither the archive being
    # written nor the one it replaces is packed, so archives never nest.
    os.mkdir("src")
    write("src/f", b"x")
    os.link("src/f", "src/alias")  # the same file under another name is not the archive
    for _ in range(2):
        entries, _ = t.pack_whole("src", "src/out.tree")
        expect_eq([e.path for e in entries], [b"alias", b"f"], "entries: the archive does not hold itself")
    no_partials("src")


@case
def access_times_kept(t):
    t.linux_only("Wine reads the files it is asked to read in ways that move their access times")
    os.makedirs("src/d")
    write("src/d/f", b"read me" * 1000)
    write("src/big", bytes(CHUNK + 5))
    # Older than the last write: any read would move them under relatime.
    old = {b"d/f": (T2001, T2001 + 10**15), b"big": (T2001, T2001 + 10**15), b"d": (T2001, T2001 + 10**15)}
    set_times("src", old)
    entries, _ = t.pack_whole()
    after = snapshot("src")
    for rel, (atime, _) in old.items():
        if t.wine and rel == b"d":
            continue  # Wine lists a directory through its own reads
        expect_eq(after[rel].st_atime_ns, atime, "access time of %r after packing" % rel)
        expect_eq({e.path: e.access for e in entries}[rel], filetime(atime), "recorded access time of %r" % rel)


@case
def noatime_not_permitted(t):
    t.linux_only("runs the packer as another user")
    open_to_all(t)
    os.makedirs("src/d")
    write("src/d/f", b"not mine")
    os.mkdir("out")
    os.chmod("out", 0o777)
    rc, out, err = t.pack("src", "out/out.tree", preexec_fn=as_nobody())
    expect_eq((rc, out, err), (0, b"", []), "packing files another user owns")
    expect_entries("out/out.tree", [b"d", b"d/f"])


@case
def file_shrinks_while_read(t):
    t.linux_only("sysfs files say 4096 bytes and hold fewer")
    source = "/sys/kernel/mm/transparent_hugepage"
    if not os.path.isfile(source + "/enabled"):
        raise Skip("no %s" % source)
    rc, out, err = t.pack(source, "out.tree")
    expect_eq(rc, 2, "exit status")
    entries, blob = read_archive("out.tree")
    files = {e.path: e for e in entries if not e.is_dir}
    enabled = files[b"enabled"]
    content = open(source + "/enabled", "rb").read()
    expect_eq(enabled.length, 4096, "recorded length")
    expect_eq(blob[enabled.offset:enabled.offset + 4096], content + bytes(4096 - len(content)), "padded content")
    report = re.compile(rb"<" + re.escape(source.encode()) + rb"/(.+)> shrank while read: 4096 bytes recorded, "
                        rb"(\d+) found; stored with zeros after them\Z")
    shrunk = [report.match(line).group(1) for line in err if report.match(line)]
    expect(b"enabled" in shrunk, "no report for enabled: %r" % err[:5])


# --- What ARCHIVE is, and runs that are interrupted ---------------------------------

def stalled_packer(t, archive, links=300, before=(), env=None, preexec_fn=None, parent=None):
    """A packer that cannot finish: the tree holds `links` FIFOs, each told
    on a standard error that nobody reads (a pipe of one page, a twentieth
    of what they take), so it stops in the middle of them. Returns the
    process and the pipe's read end once the first line is in the pipe: by
    then the archive's temporary file is made and the source directory
    listed, and nothing after the FIFOs (a file named "zz", say) is read
    before the caller reads the pipe. `before` is a command that runs it
    (nohup); `parent` a Windows program that runs it under Wine and waits
    for it (cmd.exe /c)."""
    os.makedirs("src", exist_ok=True)
    for i in range(links):
        os.mkfifo("src/l%04d" % i)
    r, w = os.pipe()
    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ
    cmd, base = t.command(t.pack_binary, ["src", archive])
    if parent:
        cmd[1:2] = parent + ["Z:" + os.path.abspath(t.pack_binary).replace("/", "\\")]

    def start():
        # As a user's shell starts it: a background job of a shell without
        # job control (the suite's own run, say) would pass on SIGINT and
        # SIGQUIT ignored, and a packer keeps an ignored signal ignored.
        for sig in ENDING:
            if sig != signal.SIGKILL:
                signal.signal(sig, signal.SIG_DFL)
        if preexec_fn:
            preexec_fn()
    p = subprocess.Popen(list(before) + cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=w,
                         env=dict(base, **(env or {})), preexec_fn=start)
    os.close(w)
    # Bounded only so that a packer that never writes fails the case.
    if not select.select([r], [], [], 300)[0]:
        p.kill()
        p.wait()
        raise AssertionError("the packer wrote nothing on its standard error")
    return p, r


def windows_pid_holding(r, name):
    """The Unix process of the Wine program `name` that holds the other end
    of the pipe whose read end is `r` (other suites' packers hold other
    pipes)."""
    inode = "pipe:[%d]" % os.fstat(r).st_ino
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            argv0 = open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")[0]
            fds = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            continue
        if re.split(rb"[\\/]", argv0)[-1].lower() != name:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == inode:  # others come and go meanwhile
                    found.append(int(pid))
                    break
            except OSError:
                pass
    expect_eq(len(found), 1, "processes of %s on the pipe" % name)
    return found[0]


def interrupted_under_wine(t):
    """Wine turns SIGINT into Ctrl-C: the packer's handler removes the
    temporary file, and the process ends as Ctrl-C ends it
    (STATUS_CONTROL_C_EXIT). SIGTERM, SIGHUP and SIGKILL end Wine's process
    with no handler run: the temporary file, marked for deletion, goes when
    the Wine server closes the handles of the process that died, which it
    does once it has seen the process's sockets hang up, after the Unix
    process has ended, at no point a Unix parent can wait for. A Windows
    parent can: the server closes a dead process's handles before it
    signals the process, so the packer runs under cmd.exe, which waits for
    it and ends after that; the signal goes to the packer's own process.
    The packer is the stalled one, held in its first report: by then its
    temporary file is marked (the file appears a moment before that, and a
    signal in between would leave it)."""
    write("out.tree", b"the archive before")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL):
        p, r = stalled_packer(t, "out.tree", parent=["cmd.exe", "/c"])
        packer = windows_pid_holding(r, b"untree-pack.exe")
        partials = [n for n in os.listdir(".") if PARTIAL.match(n)]
        expect_eq(len(partials), 1, "temporary files seen while packing")
        ended = os.pidfd_open(packer)
        os.kill(packer, sig)
        rc = p.wait(timeout=60)
        os.close(r)
        # The Unix process closes its sockets before it has ended, so the
        # server may see them hang up first; its end comes in any case.
        # The status a killed process leaves is the server's (0).
        expect(select.select([ended], [], [], 60)[0], "the packer's process still there after %s" % sig.name)
        os.close(ended)
        if sig == signal.SIGINT:
            expect_eq(rc, 0xC000013A & 0xFF, "end of a packer stopped by SIGINT")
        expect_eq(sorted(os.listdir(".")), ["out.tree", "src"], "files left after %s" % sig.name)
        expect_eq(open("out.tree", "rb").read(), b"the archive before", "the old archive")
        shutil.rmtree("src")


# Every signal that ends a process by default; SIGQUIT and SIGABRT would
# also dump core, which is switched off for them.
ENDING = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
          signal.SIGALRM, signal.SIGABRT, signal.SIGPROF, signal.SIGRTMIN + 3, signal.SIGKILL]


def signal_name(sig):
    return signal.Signals(sig).name if sig in signal.Signals.__members__.values() else "SIGRTMIN+%d" % (
        sig - signal.SIGRTMIN)


def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


@case
def interrupted(t):
    if t.wine:
        return interrupted_under_wine(t)
    write("out.tree", b"the archive before")
    # The temporary file has no name: there is none to see while it is
    # written, and none left after any signal, SIGKILL too. On a file system
    # without O_TMPFILE it has one, removed on any signal that can be caught.
    rows = [(sig, None) for sig in ENDING]
    if t.args.output_calls:
        rows += [(sig, "tmpfile") for sig in ENDING if sig != signal.SIGKILL]
    for sig, fail in rows:
        env = t.calls(fail) if fail else None
        p, r = stalled_packer(t, "out.tree", env=env, preexec_fn=no_core)
        partials = [n for n in os.listdir(".") if PARTIAL.match(n)]
        expect_eq(len(partials), 1 if fail else 0, "temporary files seen while packing (%s)" % fail)
        p.send_signal(sig)
        expect_eq(p.wait(timeout=60), -sig, "end of a packer stopped by %s" % signal_name(sig))
        os.close(r)
        expect_eq(sorted(n for n in os.listdir(".") if n != "calls.log"), ["out.tree", "src"],
                  "files left after %s (%s)" % (signal_name(sig), fail))
        expect_eq(open("out.tree", "rb").read(), b"the archive before", "the old archive after %s" % signal_name(sig))
        shutil.rmtree("src")
    # Under nohup a hangup stays ignored: the packer finishes its archive.
    p, r = stalled_packer(t, "out.tree", before=["nohup"])
    p.send_signal(signal.SIGHUP)
    with os.fdopen(r, "rb") as f:
        f.read()
    expect_eq(p.wait(timeout=60), 2, "exit status under nohup after a hangup")
    expect_eq(len(read_archive("out.tree")[0]), 0, "entries")
    shutil.rmtree("src")
    # Nobody reads standard error any longer: the reports are lost, the
    # archive is not.
    p, r = stalled_packer(t, "out.tree")
    os.close(r)
    expect_eq(p.wait(timeout=60), 2, "exit status with a closed standard error")
    expect_eq(len(read_archive("out.tree")[0]), 0, "entries")
    no_partials()


@case
def changed_while_read(t):
    # The packer is held on its standard error after listing zz and before
    # reading it; meanwhile zz is written over in place, or grows.
    for row in ("grows", "in place"):
        os.mkdir("src")
        first = os.urandom(CHUNK) if row == "grows" else b"old content"
        write("src/zz", first)
        os.utime("src/zz", (T2001 / 1e9, T2001 / 1e9))  # so that any write moves its times
        p, r = stalled_packer(t, "out.tree")
        with open("src/zz", "r+b") as f:
            if row == "grows":
                f.seek(0, os.SEEK_END)
                f.write(b"+" * 4096)
            else:
                f.write(b"new")
        with os.fdopen(r, "rb") as f:
            rest = f.read().replace(b"\r\n", b"\n")
        expect_eq(p.wait(timeout=60), 2, "%s: exit status" % row)
        told = (rb"changed size while read: %d bytes recorded, %d now; the first %d stored" % (
            CHUNK, CHUNK + 4096, CHUNK) if row == "grows" else b"changed while read: what is stored may mix old and new content")
        expect(rest.endswith(b"untree-pack: <" + t.path("src", "zz") + b"> " + told + b"\n"),
               "%s: report: %r" % (row, rest[-200:]))
        entries, blob = read_archive("out.tree")
        expect_eq(entries[-1].length, len(first), "%s: recorded length" % row)
        stored = blob[entries[-1].offset:entries[-1].offset + entries[-1].length]
        expect_eq(stored, first if row == "grows" else b"new content", "%s: stored content" % row)
        shutil.rmtree("src")
        os.unlink("out.tree")


@case
def archive_targets(t):
    # Written straight to a device or a FIFO, never replaced; through a
    # symbolic link to what it names, the link kept; with a long name.
    os.mkdir("src")
    write("src/f", b"x" * 100)
    if t.wine:  # Wine's reads move access times up to the last change; these stay
        os.utime("src/f", ns=(time.time_ns() + 3600 * 10**9, os.stat("src/f").st_mtime_ns))
    t.pack_whole("src", "plain.tree")
    plain = open("plain.tree", "rb").read()
    if t.wine:
        rc, out, err = t.pack("src", "NUL")
        expect_eq((rc, err), (0, []), "packing to NUL")
    elif os.geteuid() == 0:
        os.mknod("null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        rc, out, err = t.pack("src", "null")
        expect_eq((rc, err), (0, []), "packing to a device")
        st = os.lstat("null")
        expect(stat.S_ISCHR(st.st_mode) and st.st_rdev == os.makedev(1, 3), "the device node was replaced")
    if not t.wine:
        os.mkfifo("fifo")
        got = []
        reader = threading.Thread(target=lambda: got.append(open("fifo", "rb").read()))
        reader.start()
        rc, out, err = t.pack("src", "fifo")
        reader.join()
        expect_eq((rc, err, got), (0, [], [plain]), "packing into a FIFO")
        expect(stat.S_ISFIFO(os.lstat("fifo").st_mode), "the FIFO was replaced")

        os.mkdir("real")
        write("real/target.tree", b"old")
        os.chmod("real/target.tree", 0o640)
        os.symlink("real/target.tree", "link.tree")
        t.pack_whole("src", "link.tree")
        expect_eq(os.readlink("link.tree"), "real/target.tree", "the link")
        expect_eq(open("real/target.tree", "rb").read(), plain, "the link's target")
        expect_eq(stat.S_IMODE(os.stat("real/target.tree").st_mode), 0o640, "mode of the replaced target")
        no_partials("real")
    name = "n" * 250 + ".tree"
    t.pack_whole("src", name)
    expect_eq(open(name, "rb").read(), plain, "archive with a 255-byte name")
    no_partials()


@case
def paths_through_a_link_then_dotdot(t):
    """ARCHIVE and SOURCE_DIR mean what the kernel means: in lnk/.., where lnk
    leads to elsewhere/inner, ".." leaves the link's target, also in paths
    beyond PATH_MAX; the backup.tree beside lnk is nobody's business."""
    t.linux_only("Windows folds \"..\" as text, by its own rules")
    os.makedirs("elsewhere/inner")
    os.symlink("elsewhere/inner", "lnk")
    write("elsewhere/f", b"from elsewhere")
    write("backup.tree", b"unrelated")
    rc, out, err = t.pack("lnk/..", "lnk/../backup.tree")
    expect_eq((rc, err), (0, []), "exit status and stderr")
    expect_eq(open("backup.tree", "rb").read(), b"unrelated", "the backup.tree beside the link")
    expect_entries("elsewhere/backup.tree", [b"f", b"inner"])
    expect_eq(sorted(os.listdir(".")), ["backup.tree", "elsewhere", "lnk"], "the working directory")
    # The same far below, where each part of the path is opened from the
    # directory the one before led to.
    fd = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
    for name in ["deep"] + ["d" * 200] * 25:
        os.mkdir(name, dir_fd=fd)
        fd, old = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
        os.close(old)
    bottom = "/proc/self/fd/%d/" % fd
    os.makedirs(bottom + "elsewhere/inner")
    os.symlink("elsewhere/inner", "lnk", dir_fd=fd)
    write(bottom + "elsewhere/g", b"g")
    write(bottom + "backup.tree", b"unrelated")
    long = "deep/" + "/".join(["d" * 200] * 25)
    rc, out, err = t.pack(long + "/lnk/..", long + "/lnk/../backup.tree")
    expect_eq((rc, err), (0, []), "exit status and stderr, far below")
    expect_eq(open(bottom + "backup.tree", "rb").read(), b"unrelated", "the backup.tree beside the link, far below")
    expect_entries(bottom + "elsewhere/backup.tree", [b"g", b"inner"])
    os.close(fd)


@case
def standard_output(t):
    t.linux_only("standard output as a pipe and a terminal")
    one_file_packed(t)
    rc, out, err = t.pack("src", "-")
    expect_eq((rc, err, out), (0, [], open("plain.tree", "rb").read()), "archive on standard output")
    # Standard output by a name that leads to it: a pipe, a socket.
    p = subprocess.run("%s src /dev/stdout | cat" % t.pack_binary, shell=True, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    expect_eq((p.returncode, p.stderr, p.stdout), (0, b"", open("plain.tree", "rb").read()), "/dev/stdout | cat")
    ours, theirs = socket.socketpair()
    p = subprocess.Popen([t.pack_binary, "src", "/dev/stdout"], stdout=theirs, stderr=subprocess.PIPE)
    theirs.close()
    got = b""
    while True:
        chunk = ours.recv(65536)
        if not chunk:
            break
        got += chunk
    ours.close()
    expect_eq((p.wait(), p.stderr.read(), got), (0, b"", open("plain.tree", "rb").read()), "/dev/stdout on a socket")
    # Redirected into the tree it packs, the file is left out.
    with open("src/self.tree", "wb") as f:
        rc = subprocess.run([t.pack_binary, "src", "-"], stdout=f).returncode
    expect_eq((rc, [e.path for e in read_archive("src/self.tree")[0]]), (0, [b"f"]), "packed into itself")
    os.unlink("src/self.tree")
    # A reader that goes away: the write fails and is told.
    write("src/big", os.urandom(4 * CHUNK))
    p = subprocess.Popen([t.pack_binary, "src", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.read(10)
    p.stdout.close()
    err = p.stderr.read()
    expect_eq((p.wait(), err), (1, b"untree-pack: cannot write archive <->: Broken pipe\n"), "a reader gone")
    # Closed from the start (what stands in for it is the null device).
    p = subprocess.run([t.pack_binary, "src", "-"], stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    expect_eq((p.returncode, p.stderr), (1, b"untree-pack: cannot write archive <->: Bad file descriptor\n"),
              "standard output closed")
    # A terminal is no place for an archive; on one, standard error gets a
    # summary.
    def everything_said(fd):
        # Until the other end is closed (EIO): the last line may come after a read.
        said = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                return said
            if not chunk:
                return said
            said += chunk

    pid, fd = pty.fork()
    if pid == 0:
        os.execv(t.pack_binary, [t.pack_binary, "src", "-"])
    said = everything_said(fd)
    _, status = os.waitpid(pid, 0)
    expect_eq((os.waitstatus_to_exitcode(status), said),
              (1, b"untree-pack: cannot write archive <->: standard output is a terminal\r\n"), "on a terminal")
    os.mkfifo("src/link")
    master, slave = pty.openpty()
    rc = subprocess.run([t.pack_binary, "src", "out.tree"], stderr=slave).returncode
    os.close(slave)
    said = everything_said(master)
    os.close(master)
    expect_eq((rc, said), (2, b"untree-pack: FIFO skipped: <src/link>\r\nuntree-pack: 0 directories, "
                              b"2 files, %d bytes packed into <out.tree>; 1 reported above\r\n" % (100 + 4 * CHUNK)),
              "summary on a terminal")


@case
def summary_on_a_console_shows_the_name(t):
    """The summary on a terminal names the archive as typed; a Windows
    console (Wine gives the program one here) shows é as the character it
    is, not as its two UTF-8 bytes read in the console's code page."""
    os.mkdir("src")
    write("src/f", b"x")
    rc, screen = t.run_in_terminal(t.pack_binary, ["src", "caf\u00e9.tree"])
    expect_eq((rc, re.findall(rb"packed into <([^>]*)>", screen)), (0, [b"caf\xc3\xa9.tree"]), "summary: %r" % screen)


@case
def replaced_archive_keeps_its_mode(t):
    t.linux_only("runs the packer as another user")
    open_to_all(t)
    os.mkdir("src")
    write("src/f", b"x")
    os.chmod("src", 0o755)
    os.mkdir("out")
    os.chmod("out", 0o777)
    user = pwd.getpwnam("nobody")
    write("out/kept.tree", b"old")
    os.chmod("out/kept.tree", 0o600)
    os.chown("out/kept.tree", user.pw_uid, user.pw_gid)
    rc, out, err = t.pack("src", "out/kept.tree")  # by root here: owner and mode carried over
    expect_eq((rc, err), (0, []), "replacing a protected archive")
    st = os.stat("out/kept.tree")
    expect_eq((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid), (0o600, user.pw_uid, user.pw_gid), "mode and owner")
    write("out/readonly.tree", b"old")
    os.chmod("out/readonly.tree", 0o444)
    os.chown("out/readonly.tree", user.pw_uid, user.pw_gid)
    rc, out, err = t.pack("src", "out/readonly.tree", preexec_fn=as_nobody())
    expect_eq((rc, err), (1, [b"cannot write archive <out/readonly.tree>: Permission denied"]), "a read-only archive")
    expect_eq(open("out/readonly.tree", "rb").read(), b"old", "the read-only archive")
    no_partials("out")


@case
def names_and_times_it_cannot_carry_faithfully(t):
    t.linux_only("Linux names and times out of the Windows range")
    if not os.path.isdir("/dev/shm"):
        raise Skip("no /dev/shm")
    # Control characters are stored (legal here) but told; times beyond the
    # range of the format are stored at its ends and told.
    src = os.path.join("/dev/shm", "untree-pack-%d" % os.getpid())
    os.makedirs(src)
    try:
        for name in ("cr\rname", "esc\x1b[31mred", "c1\u009bx", "plain"):
            write(os.path.join(src, name), b"x")
        os.utime(os.path.join(src, "plain"), (-2e10, 1e12))  # the years 1336 and 33658
        if os.stat(os.path.join(src, "plain")).st_mtime != 1e12:
            raise Skip("/dev/shm does not hold these times")
        rc, out, err = t.pack(src, "out.tree")
        shown = src.encode()
        expect_eq((rc, err), (2, [b"name holds control characters, stored: <%s/c1\\xC2\\x9Bx>" % shown,
                                  b"name holds control characters, stored: <%s/cr\\x0Dname>" % shown,
                                  b"name holds control characters, stored: <%s/esc\\x1B[31mred>" % shown,
                                  b"time before 1601, stored as 1601-01-01: <%s/plain>" % shown,
                                  b"time after 30828, stored as 30828-09-14: <%s/plain>" % shown]),
                  "exit status and reports")
        entries, _ = read_archive("out.tree")
        expect_eq([e.path for e in entries], [b"c1\xc2\x9bx", b"cr\rname", b"esc\x1b[31mred", b"plain"], "entries")
        expect_eq((entries[3].access, entries[3].write), (1, 2**63 - 1), "times stored")
    finally:
        shutil.rmtree(src)


@case
def arguments(t):
    os.mkdir("src")
    for args in ([], ["src"], ["src", "a.tree", "extra"], ["--help", "a.tree"], ["--plain", "src"],
                 ["--plain", "src", "a.tree", "extra"]):
        rc, out, err = t.pack(*args)
        expect_eq(rc, 1, "exit status of %r" % args)
        expect_eq(out, b"", "stdout of %r" % args)
        expect(err and err != [b""], "no message for %r" % args)
    for flag in ("-h", "--help"):
        rc, out, err = t.pack(flag)
        expect_eq((rc, err), (0, []), "exit status of " + flag)
        expect(out.startswith(b"Usage: untree-pack [--plain] SOURCE_DIR ARCHIVE\n"), "help text: %r" % out[:80])
    rc, out, err = t.pack("--version")
    expect_eq((rc, out, err), (0, b"untree-pack 0.1.0\n", []), "version")
    if not t.wine:
        with open("/dev/full", "wb") as full:
            expect_eq(subprocess.run([t.pack_binary, "--help"], stdout=full).returncode, 1, "help into a full device")
    expect(not os.path.exists("a.tree"), "an archive was written")


# --- The runner ----------------------------------------------------------------------

def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("--pack", required=True, help="the packer binary")
    parser.add_argument("--output-calls", help="output_calls.c built, to preload into the packer (Linux)")
    args = harness.parse_arguments(parser)
    if args.output_calls:
        args.output_calls = os.path.abspath(args.output_calls)
    return harness.run_cases(harness.CASES, args, lambda scratch: Context(args, scratch), "untree-pack-e2e-")


if __name__ == "__main__":
    sys.exit(main())
