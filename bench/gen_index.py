#!/usr/bin/env python3
"""An archive of many entries whose data region is a hole, for timing
untree-list, which reads only the index.

    gen_index.py ARCHIVE [--entries N] [--per-dir N]

Directories of --per-dir - 1 files each, names from a fixed seed (5 % of
them non-ASCII, one beyond the Basic Multilingual Plane, like the
benchmark's trees), file sizes of 0 to 16 KiB; the data region holds no
bytes on disk, but its length is exactly the contents' sum, so the archive
passes untree-list --check. Prints "entries=N bytes=N".
"""
import argparse
import random
import struct

SEED = 20240808
WORDS = ["src", "lib", "data", "doc", "test", "img", "cache", "util", "core", "net"]
NON_ASCII = ["données", "Übersicht", "日本語", "Ωμέγα", "файл", "naïve", "coração", "😀emoji"]
BASE = 132539328000000000  # 2021-01-01T00:00:00Z as a FILETIME


def cesu8(text):
    # Every UTF-16 unit encoded on its own: a surrogate passes as three bytes.
    utf16 = text.encode("utf-16-le")
    units = struct.unpack("<%dH" % (len(utf16) // 2), utf16)
    return "".join(map(chr, units)).encode("utf-8", "surrogatepass")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("archive")
    parser.add_argument("--entries", type=int, default=1000000)
    parser.add_argument("--per-dir", type=int, default=1000)
    args = parser.parse_args()
    rng = random.Random(SEED)
    names, records, total, n = [], [], 0, 0
    while n < args.entries:
        t = BASE + rng.randrange(365 * 86400 * 10**7)
        names.append(b"dir%07d\n" % n)
        records.append(struct.pack("<IBBHQQQ8x", 0, 0, 0, 0x10, t, t, t))
        n += 1
        for k in range(min(args.per_dir - 1, args.entries - n)):
            words = NON_ASCII if rng.random() < 0.05 else WORDS
            size = rng.randrange(16385)
            t = BASE + rng.randrange(365 * 86400 * 10**7)
            names.append(cesu8("%s%05d.txt" % (rng.choice(words), k)) + b"\n")
            records.append(struct.pack("<IBBHQQQ8x", size, 0, 1, 0x20, t, t, t))
            total += size
            n += 1
    name_region, record_region = b"".join(names), b"".join(records)
    with open(args.archive, "wb") as f:
        f.truncate(total)
        f.seek(total)
        f.write(name_region)
        f.write(record_region)
        f.write(struct.pack("<II", len(name_region), len(record_region)))
    print("entries=%d bytes=%d" % (n, total))


if __name__ == "__main__":
    main()
