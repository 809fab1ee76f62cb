#!/usr/bin/env python3
"""Deterministic source trees for the benchmark.

    gen_trees.py small DEST [--files N] [--dirs N] [--max-depth N] [--max-size BYTES]
    gen_trees.py large DEST [--count N] [--size BYTES]
    gen_trees.py copy SOURCE DEST
    gen_trees.py compare SOURCE DEST [--exact-times] [--file-times-only]

small and large draw everything (layout, names, sizes, contents, times)
from one fixed seed, so every run of the benchmark extracts the same bytes.
copy copies a real tree: directories and regular files only, with their
times; links and special files are left out. compare checks that an
extracted tree holds the same entries, contents and last-write times as its
source (whole seconds, or to the 100 ns an archive keeps with --exact-times;
with --file-times-only not those of directories, which an extraction over an
existing copy reuses as they are) and exits 1 naming the first difference.

Each generating command prints one line: "files=N dirs=N bytes=N".
"""

import argparse
import os
import random
import shutil
import stat
import sys

SEED = 20240808
# 2021-01-01T00:00:00Z; the generated times lie in the year after it.
BASE_NS = 1609459200 * 10**9
YEAR_NS = 365 * 86400 * 10**9

# Names a real tree carries: accents, other scripts, and one character beyond
# the Basic Multilingual Plane, which the archive keeps as two surrogates.
NON_ASCII_WORDS = ["données", "Übersicht", "日本語", "Ωμέγα", "файл", "naïve", "coração", "😀emoji"]
ASCII_WORDS = ["src", "lib", "data", "doc", "test", "img", "cache", "util", "core", "net"]


def random_time_ns(rng):
    # FILETIME keeps 100 ns: stay on that grid so every tool can restore it.
    return BASE_NS + rng.randrange(YEAR_NS // 100) * 100


def name_for(rng, index, suffix):
    words = NON_ASCII_WORDS if rng.random() < 0.05 else ASCII_WORDS
    return "%s%05d%s" % (rng.choice(words), index, suffix)


class Counts:
    def __init__(self):
        self.files = 0
        self.dirs = 0
        self.bytes = 0

    def line(self):
        return "files=%d dirs=%d bytes=%d" % (self.files, self.dirs, self.bytes)


def set_directory_times(entries):
    # Deepest first: setting a child's times does not move its parent's, but
    # creating it did, so parents are stamped after everything inside them.
    for path, atime, mtime in sorted(entries, key=lambda e: -e[0].count(os.sep)):
        os.utime(path, ns=(atime, mtime))


def generate_small(dest, files, dirs, max_depth, max_size):
    rng = random.Random(SEED)
    counts = Counts()
    # A pool of random bytes; each file is a slice of it at a random offset.
    pool = rng.randbytes(4 * 1048576 + max_size)
    # Directory 0 is the root of the tree (dest itself); the others hang under
    # a random earlier directory that leaves room for one more level of files.
    directories = [(dest, 0)]
    stamps = []
    for i in range(1, dirs + 1):
        candidates = [d for d in directories if d[1] < max_depth - 1]
        parent, depth = rng.choice(candidates)
        path = os.path.join(parent, name_for(rng, i, ""))
        os.mkdir(path)
        directories.append((path, depth + 1))
        stamps.append((path, random_time_ns(rng), random_time_ns(rng)))
        counts.dirs += 1
    for i in range(files):
        parent, _ = rng.choice(directories)
        path = os.path.join(parent, name_for(rng, i, ".bin"))
        size = rng.randrange(max_size + 1)
        start = rng.randrange(len(pool) - max_size)
        with open(path, "wb") as f:
            f.write(pool[start:start + size])
        os.utime(path, ns=(random_time_ns(rng), random_time_ns(rng)))
        counts.files += 1
        counts.bytes += size
    set_directory_times(stamps)
    return counts


def generate_large(dest, count, size):
    rng = random.Random(SEED + 1)
    counts = Counts()
    block = rng.randbytes(1048576)
    for i in range(count):
        path = os.path.join(dest, "large%d.bin" % i)
        with open(path, "wb") as f:
            written = 0
            chunk = 0
            while written < size:
                # Every MiB differs from every other: nothing can be shared.
                piece = (b"%08d%08d" % (i, chunk) + block[16:])[: size - written]
                f.write(piece)
                written += len(piece)
                chunk += 1
        os.utime(path, ns=(random_time_ns(rng), random_time_ns(rng)))
        counts.files += 1
        counts.bytes += size
    return counts


def copy_tree(source, dest):
    counts = Counts()
    stamps = []

    def walk(src, dst):
        with os.scandir(src) as it:
            entries = sorted(it, key=lambda e: e.name)
        for e in entries:
            target = os.path.join(dst, e.name)
            if e.is_symlink():
                continue
            if e.is_dir(follow_symlinks=False):
                os.mkdir(target)
                counts.dirs += 1
                walk(e.path, target)
                st = e.stat(follow_symlinks=False)
                stamps.append((target, st.st_atime_ns, st.st_mtime_ns))
            elif e.is_file(follow_symlinks=False):
                shutil.copy2(e.path, target, follow_symlinks=False)
                counts.files += 1
                counts.bytes += e.stat(follow_symlinks=False).st_size

    walk(source, dest)
    set_directory_times(stamps)
    return counts


def tree_entries(root):
    out = {}
    for directory, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            path = os.path.join(directory, n)
            out[os.path.relpath(path, root)] = os.lstat(path)
    return out


def same_content(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        while True:
            p = x.read(1048576)
            q = y.read(1048576)
            if p != q:
                return False
            if not p:
                return True


def compare(source, dest, exact_times, file_times_only=False):
    want = tree_entries(source)
    got = tree_entries(dest)
    for rel in sorted(set(want) | set(got)):
        if rel not in got:
            return "missing: %s" % rel
        if rel not in want:
            return "not in the source: %s" % rel
        s, d = want[rel], got[rel]
        if stat.S_IFMT(s.st_mode) != stat.S_IFMT(d.st_mode):
            return "different kind: %s" % rel
        if stat.S_ISREG(s.st_mode):
            if s.st_size != d.st_size:
                return "size %d instead of %d: %s" % (d.st_size, s.st_size, rel)
            if not same_content(os.path.join(source, rel), os.path.join(dest, rel)):
                return "different content: %s" % rel
        unit = 100 if exact_times else 10**9
        if file_times_only and stat.S_ISDIR(s.st_mode):
            continue
        if s.st_mtime_ns // unit != d.st_mtime_ns // unit:
            return "last-write time %d instead of %d: %s" % (d.st_mtime_ns, s.st_mtime_ns, rel)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("small")
    p.add_argument("dest")
    p.add_argument("--files", type=int, default=30000)
    p.add_argument("--dirs", type=int, default=1500)
    p.add_argument("--max-depth", type=int, default=8)
    p.add_argument("--max-size", type=int, default=16384)
    p = sub.add_parser("large")
    p.add_argument("dest")
    p.add_argument("--count", type=int, default=4)
    p.add_argument("--size", type=int, default=256 * 1048576)
    p = sub.add_parser("copy")
    p.add_argument("source")
    p.add_argument("dest")
    p = sub.add_parser("compare")
    p.add_argument("source")
    p.add_argument("dest")
    p.add_argument("--exact-times", action="store_true")
    p.add_argument("--file-times-only", action="store_true")
    args = parser.parse_args()

    if args.command == "compare":
        difference = compare(args.source, args.dest, args.exact_times, args.file_times_only)
        if difference:
            print("%s differs from %s: %s" % (args.dest, args.source, difference), file=sys.stderr)
            return 1
        return 0
    os.makedirs(args.dest, exist_ok=True)
    if args.command == "small":
        counts = generate_small(args.dest, args.files, args.dirs, args.max_depth, args.max_size)
    elif args.command == "large":
        counts = generate_large(args.dest, args.count, args.size)
    else:
        counts = copy_tree(args.source, args.dest)
    print(counts.line())
    return 0


if __name__ == "__main__":
    sys.exit(main())
