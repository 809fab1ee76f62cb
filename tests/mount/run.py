#!/usr/bin/env python3
"""End-to-end tests of untree-mount: real mounts through /dev/fuse, the
mounted tree compared with what untree extracts from the same archive, reads
at any offset, damaged archives refused with untree-list --check's reason,
and unmounting by signal and by fusermount3. Every wait is for a definite
point: the mount table changing (poll on /proc/self/mountinfo), a process
ending.

    python3 tests/mount/run.py --mount build/mount/untree-mount --untree build/untree \
        --list build/list/untree-list --pack build/pack/untree-pack
"""
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(os.path.dirname(HERE), "e2e"), os.path.dirname(HERE)]
import harness  # noqa: E402
from harness import Skip, case, expect, expect_eq, walk_tree  # noqa: E402
from treewriter import ATTR_ARCHIVE, ATTR_READONLY, Dir, File, write_archive, write_raw  # noqa: E402

MIB = 1 << 20


def pattern(length, seed):
    """Bytes that differ at every offset of a few MiB, so a read from the
    wrong place shows."""
    block = bytes((i * 7 + seed + (i >> 8) * 13) & 0xFF for i in range(65521))
    return (block * (length // len(block) + 1))[:length]


class Context(harness.Context):
    def __init__(self, args, scratch):
        super().__init__(args, scratch)
        self.mounted = []

    def need_fuse(self):
        if not os.path.exists("/dev/fuse"):
            raise Skip("no /dev/fuse here: the kernel has no FUSE (or the container hides it)")
        if not shutil.which("fusermount3"):
            raise Skip("fusermount3 is missing (Debian package fuse3)")

    def mount_foreground(self, archive, point, *options):
        """untree-mount -f, once its mount stands: the process, its standard
        error open as a pipe."""
        os.makedirs(point, exist_ok=True)
        before = os.stat(point).st_dev
        with open("/proc/self/mountinfo") as table:  # before the start, so no change is missed
            p = subprocess.Popen([self.args.mount, "-f"] + list(options) + [archive, point],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.mounted.append(point)
            poller = select.poll()
            poller.register(table, select.POLLPRI | select.POLLERR)
            poller.register(p.stderr, select.POLLIN | select.POLLHUP)
            while os.stat(point).st_dev == before:
                ready = dict(poller.poll(120000))
                expect(ready, "no mount within two minutes")
                if p.stderr.fileno() in ready:
                    err = p.stderr.read()
                    raise harness.Failure("untree-mount ended before its mount stood: %r, status %r"
                                          % (err, p.wait(timeout=60)))
        return p

    def mount(self, archive, point, stderr=b""):
        """untree-mount in the background: the command returns once the
        mount stands."""
        os.makedirs(point, exist_ok=True)
        self.mounted.append(point)  # unmounted at the end whatever is found here
        p = subprocess.run([self.args.mount, archive, point], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=300)
        expect_eq((p.returncode, p.stderr), (0, stderr), "untree-mount's status and stderr")
        expect(os.path.ismount(point), "not mounted on return")

    def unmount_all(self):
        for point in self.mounted:
            if os.path.ismount(point):
                subprocess.run(["fusermount3", "-u", "-z", point], stderr=subprocess.DEVNULL, timeout=60)


def wait_unmounted(point, parent_dev):
    """Until the mount point shows its own directory again."""
    with open("/proc/self/mountinfo") as table:
        poller = select.poll()
        poller.register(table, select.POLLPRI | select.POLLERR)
        while os.stat(point).st_dev != parent_dev:
            expect(poller.poll(120000), "still mounted after two minutes")


def snapshot(root):
    """Every entry below root: kind, permission bits, size, access and
    write times in ns, link target or content. All stats come before any
    content is read, so no read moves an access time first."""
    entries = [(path, st) for path, st, _, _ in walk_tree(root)]
    out = {}
    for path, st in entries:
        kind = "d" if stat.S_ISDIR(st.st_mode) else "l" if stat.S_ISLNK(st.st_mode) else "-"
        out[path] = [kind, oct(stat.S_IMODE(st.st_mode)), st.st_size if kind == "-" else 0,
                     st.st_atime_ns, st.st_mtime_ns]
    for path, row in out.items():
        full = os.path.join(os.fsencode(root), path)
        if row[0] == "-":
            with open(full, "rb") as f:
                row.append(f.read())
        elif row[0] == "l":
            row.append(os.readlink(full))
    return out


def run_case(fn):
    """A case that mounts: unmounted again whatever happens."""
    def wrapped(t):
        t.need_fuse()
        try:
            fn(t)
        finally:
            t.unmount_all()
    wrapped.__name__ = fn.__name__
    wrapped.__doc__ = fn.__doc__
    return case(wrapped)


SMILE = "\U0001F600"
TREE = [
    Dir("docs"),
    File("note.txt", 1, b"hi\n"),
    Dir("empty", 1, creation=0, access=0),  # times of 0: neither side may show them as 1601
    File("big.bin", 1, pattern(3 * MIB + 17, 1)),
    File("hello.txt", content=b"Hello\n", attributes=ATTR_ARCHIVE | ATTR_READONLY),
    File(SMILE + "é", content=b"x"),
    File(b"lone\xed\xa0\x80surrogate", content=b"ls"),
    File("cr\rin name", content=b"cr"),
    File("old", content=b"1969", write=116444736000000000 - 10**7 * 86400 * 365 + 1234567),
    File("dup", content=b"first"),
    File("dup", content=b"second"),          # a second file of one name: left out
    Dir("docs"),                              # listed twice: merged
    File("more.txt", 1, b"merged\n"),
    Dir(".."),                                # unsafe: left out with its subtree
    File("evil", 1, b"evil"),
    File("last", content=b"z" * 5),
]


@run_case
def mounted_tree_is_what_untree_extracts(t):
    """Names (CESU-8 decoded as untree decodes them, a lone surrogate, a CR),
    kinds, permission bits (the read-only attribute), sizes, access and write
    times to the nanosecond (a time before 1970), contents: the mount shows
    what untree restores, the unsafe entry and the duplicate left out; a
    directory listed twice is one."""
    write_archive("a.tree", TREE)
    os.mkdir("out")
    subprocess.run([t.untree, "a.tree", "out"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    t.mount("a.tree", "mnt", b"untree-mount: a.tree: entry 11 <dup>: same name as entry 10: this one is "
            b"left out\nuntree-mount: a.tree: entry 14 <..>: unsafe name: left out, with everything inside it\n")
    extracted, mounted = snapshot("out"), snapshot("mnt")
    # What untree itself leaves as the system set it: the times of 0.
    archive_ns = os.stat("a.tree").st_mtime_ns
    for tree in (extracted, mounted):
        expect_eq(tree[b"docs/empty"][3], archive_ns if tree is mounted else tree[b"docs/empty"][3],
                  "an unknown access time shown as the archive's")
        tree[b"docs/empty"][3:5] = [None, None]
    expect_eq(mounted, extracted, "the mounted tree against untree's extraction")
    expect(b"dup" in mounted and mounted[b"dup"][5] == b"first", "the first of two entries of one name is shown")
    expect_eq(sorted(mounted), sorted(extracted), "names")
    st = os.stat("mnt/docs")
    expect_eq(st.st_nlink, 3, "a directory's link count: itself, its entry, one subdirectory")


@run_case
def reads_at_any_offset(t):
    """A read at an odd offset across a 1 MiB boundary, one that runs past
    the end, one beyond it, and the file read in odd-sized pieces: each gives
    the archive's bytes from that place, none moves another."""
    content = pattern(3 * MIB + 5, 2)
    write_archive("a.tree", [File("before", content=b"b" * 1001), File("f", content=content),
                             File("after", content=b"a" * 3)])
    t.mount("a.tree", "mnt")
    fd = os.open("mnt/f", os.O_RDONLY)
    try:
        at = MIB - 4097
        expect_eq(os.pread(fd, 8193, at), content[at:at + 8193], "8193 bytes from 1 MiB - 4097")
        expect_eq(os.pread(fd, 3 * MIB, 2 * MIB + 11), content[2 * MIB + 11:], "a read past the end: short")
        expect_eq(os.pread(fd, 100, len(content) + 1), b"", "a read beyond the end")
        pieces = []
        while True:
            piece = os.read(fd, 65537)
            if not piece:
                break
            pieces.append(piece)
        expect(b"".join(pieces) == content, "the file read in 65537-byte pieces")
    finally:
        os.close(fd)
    with open("mnt/after", "rb") as f:
        expect_eq(f.read(), b"aaa", "the file after it")
    with open("mnt/f", "rb") as f:
        expect_eq(f.read(0), b"", "a read of nothing")
    expect_eq(subprocess.run(["sh", "-c", "echo x > mnt/new"], stderr=subprocess.PIPE).returncode != 0, True,
              "a write refused")
    expect(not os.path.exists("mnt/new"), "nothing written")


def linux_tree(root):
    """Permission bits (set-id ones among them), links of every kind, and a
    file large enough to be read in many pieces."""
    for d, mode in (("priv", 0o700), ("shared", 0o1777), ("sub", 0o755)):
        os.mkdir(os.path.join(root, d))
        os.chmod(os.path.join(root, d), mode)
    for name, mode, content in (("priv/key", 0o600, b"secret\n"), ("run.sh", 0o755, b"#!/bin/sh\n"),
                                ("setuid", 0o4755, b"s"), ("sub/big", 0o644, pattern(2 * MIB + 3, 3)),
                                ("readonly", 0o444, b"r")):
        with open(os.path.join(root, name), "wb") as f:
            f.write(content)
        os.chmod(os.path.join(root, name), mode)
    for name, target in (("rel", "run.sh"), ("abs", "/etc/passwd"), ("dangling", "nowhere"), ("todir", "sub"),
                         ("sub/up", "..")):
        os.symlink(target, os.path.join(root, name))


@run_case
def extended_archive_modes_links_checksums(t):
    """An archive of untree-pack with permission bits, links and checksums:
    mounted, it is what untree extracts (no set-id bit, links as stored); a
    file whose content lost a byte gives EIO, with a line on standard error,
    and the other files are served."""
    os.mkdir("src")
    linux_tree("src")
    subprocess.run([t.args.pack, "src", "a.tree"], stdout=subprocess.DEVNULL, check=True, timeout=300)
    os.mkdir("out")
    subprocess.run([t.untree, "a.tree", "out"], stdout=subprocess.DEVNULL, timeout=300)
    p = t.mount_foreground("a.tree", "mnt")
    extracted, mounted = snapshot("out"), snapshot("mnt")
    for tree in (extracted, mounted):
        for row in tree.values():
            if row[0] == "d":
                row[3:5] = [None, None]  # reading a directory moves an extracted one's access time
    expect_eq(mounted, extracted, "the mounted tree against untree's extraction")
    expect_eq(mounted[b"setuid"][1], "0o755", "a set-id bit")
    expect_eq(subprocess.run(["fusermount3", "-u", "mnt"], timeout=60).returncode, 0, "fusermount3 -u")
    expect_eq((p.wait(timeout=120), p.stderr.read()), (0, b""), "status and stderr")

    with open("a.tree", "rb") as f:
        blob = bytearray(f.read())
    at = blob.find(pattern(2 * MIB + 3, 3)[:4096])
    blob[at + MIB + 12345] ^= 0x10
    with open("bad.tree", "wb") as f:
        f.write(blob)
    p = t.mount_foreground("bad.tree", "mnt")
    with open("mnt/sub/big", "rb") as f:
        head = f.read(MIB)
        expect(head == pattern(2 * MIB + 3, 3)[:MIB], "the first MiB, before the damage")
        try:
            f.read()
            raise harness.Failure("a damaged content read to its end without an error")
        except OSError as e:
            expect_eq(e.errno, 5, "the error at its end (EIO)")
    with open("mnt/sub/big", "rb") as f:  # its first MiB was in the page cache: no longer
        try:
            f.read(4096)
            raise harness.Failure("a damaged file read again")
        except OSError as e:
            expect_eq(e.errno, 5, "reading it again (EIO)")
    with open("mnt/priv/key", "rb") as f:
        expect_eq(f.read(), b"secret\n", "another file of the damaged archive")
    expect_eq(subprocess.run(["fusermount3", "-u", "mnt"], timeout=60).returncode, 0, "fusermount3 -u")
    expect_eq((p.wait(timeout=120), p.stderr.read()),
              (0, b"untree-mount: bad.tree: checksum mismatch in <sub/big>: not served\n"), "status and the line")


DAMAGED = [
    # name, how to write it
    ("seven_bytes", lambda: write_raw("a.tree", b"\0" * 7)),
    ("zeros_4k", lambda: write_raw("a.tree", b"\0" * 4096)),
    ("length_one_less", lambda: write_archive("a.tree", [File("a", content=b"aa"), File("b", content=b"bb")],
                                               data_prefix=b"aaabb")),
    ("depth_jump", lambda: write_archive("a.tree", [Dir("d"), File("x", 2)])),
    ("names_cut_short", lambda: write_archive("a.tree", [File("a"), File("b")], drop_names=1)),
    ("trailer_too_large", lambda: write_archive("a.tree", [File("a")], trailer=(1 << 20, 40))),
]


@run_case
def damaged_archives_refused(t):
    """Damaged archives and files that are none: exit status 1, one line
    that gives untree-list --check's reason, nothing mounted."""
    os.mkdir("mnt")
    dev = os.stat("mnt").st_dev
    for name, write in DAMAGED:
        write()
        check = subprocess.run([t.args.list, "--check", "a.tree"], stdout=subprocess.PIPE, timeout=300)
        reasons = [re.sub(rb"^(archive|entry \d+)( <[^>]*>)?: error: ", rb"\1: ", line)
                   for line in check.stdout.split(b"\n") if b": error: " in line]
        expect(check.returncode == 2 and reasons, "%s: untree-list --check calls it damaged" % name)
        p = subprocess.run([t.args.mount, "a.tree", "mnt"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=300)
        lines = p.stderr.split(b"\n")
        expect_eq((p.returncode, p.stdout, len(lines)), (1, b"", 2), "%s: status, stdout, lines (%r)" % (name, p.stderr))
        said = lines[0][len(b"untree-mount: a.tree: "):]
        expect_eq(b"archive: " + said if not said.startswith(b"entry ") else said, reasons[0], "%s: the reason" % name)
        expect_eq(os.stat("mnt").st_dev, dev, "%s: nothing mounted" % name)
    p = subprocess.run([t.args.mount, "missing.tree", "mnt"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    expect_eq((p.returncode, p.stderr), (1, b"untree-mount: cannot open missing.tree: No such file or directory\n"),
              "a missing archive")


@run_case
def signals_and_fusermount_unmount(t):
    """SIGTERM and SIGINT to untree-mount -f unmount and end it with status
    0; fusermount3 -u does the same in the foreground, and unmounts a
    mount served from the background."""
    write_archive("a.tree", [File("f", content=b"content")])
    os.mkdir("mnt")
    dev = os.stat("mnt").st_dev
    for how in ("SIGTERM", "SIGINT", "fusermount3"):
        p = t.mount_foreground("a.tree", "mnt")
        with open("mnt/f", "rb") as f:
            expect_eq(f.read(), b"content", "%s: served" % how)
        if how == "fusermount3":
            expect_eq(subprocess.run(["fusermount3", "-u", "mnt"], timeout=60).returncode, 0, "fusermount3 -u")
        else:
            p.send_signal(getattr(signal, how))
        expect_eq((p.wait(timeout=120), p.stderr.read()), (0, b""), "%s: status and stderr" % how)
        expect_eq(os.stat("mnt").st_dev, dev, "%s: unmounted when it ends" % how)
    t.mount("a.tree", "mnt")
    expect_eq(subprocess.run(["fusermount3", "-u", "mnt"], timeout=60).returncode, 0, "fusermount3 -u")
    wait_unmounted("mnt", dev)


def main():
    parser = harness.argument_parser(__doc__)
    parser.add_argument("--mount", required=True, help="the untree-mount binary")
    parser.add_argument("--list", required=True, help="the untree-list binary")
    parser.add_argument("--pack", required=True, help="the untree-pack binary")
    args = harness.parse_arguments(parser)
    args.mount = os.path.abspath(args.mount)
    return harness.run_cases(harness.CASES, args, lambda scratch: Context(args, scratch), "untree-mount-")


if __name__ == "__main__":
    sys.exit(main())
