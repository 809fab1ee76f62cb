#!/usr/bin/env python3
"""Turns the measurements bench/run.sh collected into tables.

    report.py RESULTS_DIR OUTPUT.md [--smoke]

Prints one table per tree and file system, then the targets and whether this
run met them, and puts the same text into OUTPUT.md between its two marker
lines (a new file gets a title and the markers). Exits 1 when a measurement
is missing, so a broken benchmark does not pass for a finished one.
"""

import glob
import json
import os
import re
import statistics
import sys

BEGIN = "<!-- bench/run.sh writes the tables below this line -->"
END = "<!-- bench/run.sh writes the tables above this line -->"

TREES = {
    "small": "many small files",
    "large": "large files",
    "include": "a copy of /usr/include",
    "tiny": "tiny tree (smoke run: the times mean nothing)",
}
JOBS = {"extract": "", "over": "over an existing copy: ", "pack": "packing "}
FILESYSTEMS = {"tmpfs": "tmpfs", "ext4": "ext4 (fresh loop-mounted image)", "dir": "a plain folder"}
RSS_LIMIT_KIB = 4096
CALLS_LIMIT = 4.2
PACK_CALLS_LIMIT = 4.5


class Missing(Exception):
    pass


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as e:
        raise Missing("%s: %s" % (path, e))


def syscall_total(path):
    """The calls column of strace -c's total line."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    raise Missing("%s: no total line" % path)


def peak_rss_kib(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read())
    if not m:
        raise Missing("%s: no maximum resident set size" % path)
    return int(m.group(1))


def relative_spread(times):
    """Interquartile range over the median: one slow outlier (a write-back
    that happened to land in a run) does not make a tool look erratic."""
    if len(times) < 4:
        return 0.0
    q1, median, q3 = statistics.quantiles(times, n=4)
    return (q3 - q1) / median if median else 0.0


def parse_counts(text):
    return {k: int(v) for k, v in (x.split("=") for x in text.split())}


class Table:
    def __init__(self, directory, tag):
        meta = read_json(os.path.join(directory, tag + ".meta.json"))
        self.job = meta.get("job", "extract")
        self.subject = "untree-pack" if self.job == "pack" else "untree"
        self.fs = meta["fs"]
        self.tree = meta["tree"]
        self.counts = parse_counts(meta["counts"])
        self.entries = self.counts["files"] + self.counts["dirs"]
        # Extraction is counted per entry, packing per packed file.
        self.per = self.counts["files"] if self.job == "pack" else self.entries
        self.load_before = meta["load_before"].split()[0]
        self.load_after = read_json(os.path.join(directory, tag + ".load.json"))["load_after"].split()[0]
        self.tools = []  # name, median, relative spread, calls per entry
        for path in sorted(glob.glob(os.path.join(directory, tag + ".[0-9]*.json")),
                           key=lambda p: int(p.rsplit(".", 2)[-2])):
            result = read_json(path)["results"][0]
            i = path.rsplit(".", 2)[-2]
            calls = syscall_total(os.path.join(directory, "%s.%s.strace.txt" % (tag, i)))
            spread = relative_spread(result["times"])
            self.tools.append({
                "name": result["command"],
                "median": result["median"],
                "spread": spread,
                "runs": len(result["times"]),
                "calls": calls / self.per if calls is not None and self.per else None,
            })
        names = [t["name"] for t in self.tools]
        if self.subject not in names or "floor" not in names:
            raise Missing("%s: %s or floor was not timed" % (tag, self.subject))
        self.rss = peak_rss_kib(os.path.join(directory, tag + ".rss.txt"))

    def tool(self, name):
        for t in self.tools:
            if t["name"] == name:
                return t
        return None

    def peers(self):
        return [t for t in self.tools if t["name"] not in (self.subject, "floor")]

    def title(self):
        c = self.counts
        return "%s%s on %s: %d files, %d directories, %.1f MiB" % (
            JOBS[self.job], TREES.get(self.tree, self.tree),
            FILESYSTEMS.get(self.fs, self.fs), c["files"], c["dirs"], c["bytes"] / 1048576)

    def markdown(self):
        untree = self.tool(self.subject)["median"]
        lines = ["### " + self.title(), "",
                 "| tool | median (s) | spread | ratio to %s | system calls per %s |" % (
                     self.subject, "file" if self.job == "pack" else "entry"),
                 "|---|---:|---:|---:|---:|"]
        for t in self.tools:
            calls = "%.2f" % t["calls"] if t["calls"] is not None else "n/a"
            lines.append("| %s | %.3f | %.1f %% | %.2f | %s |" % (
                t["name"], t["median"], 100 * t["spread"], t["median"] / untree, calls))
        lines.append("")
        rss = "untree's peak resident memory: %s. " % (
            "%.2f MiB" % (self.rss / 1024) if self.rss is not None else "n/a") if self.job == "extract" else ""
        if self.job == "over":
            rss = "Over an existing copy of the tree, made by untree before every run (not timed). "
        lines.append("%sLoad average (1 min) before and after the timing: "
                     "%s, %s. Spread: interquartile range over the median of the %d timed runs."
                     % (rss, self.load_before, self.load_after, self.tools[0]["runs"]))
        lines.append("")
        return lines


def verdict(ok):
    return "met" if ok else "**missed**"


def targets(tables):
    lines = ["### Targets", "",
             "Ratios are untree's median over the other tool's, from this run only. \"Margin\" is how much "
             "faster untree is than the fastest peer; it has to exceed the larger of the two tools' "
             "spreads.", "",
             "| target | tree | file system | measured | verdict |", "|---|---|---|---|---|"]
    for t in tables:
        if t.job == "pack":
            lines += pack_targets(t)
            continue
        if t.job == "over":
            continue
        untree = t.tool("untree")
        peers = t.peers()
        if peers:
            fastest = min(peers, key=lambda p: p["median"])
            ratio = untree["median"] / fastest["median"]
            spread = max(untree["spread"], fastest["spread"])
            lines.append("| faster than every peer | %s | %s | %.2f × %s (margin %.0f %%, spread %.1f %%) | %s |" % (
                t.tree, t.fs, ratio, fastest["name"], 100 * (1 - ratio), 100 * spread,
                verdict(ratio < 1 and 1 - ratio > spread)))
            if t.fs == "tmpfs" and t.tree == "large":
                lines.append("| ≤ 0.9 × the fastest peer | %s | %s | %.2f | %s |" % (
                    t.tree, t.fs, ratio, verdict(ratio <= 0.9)))
        # Every checksum verified, against the peers that verify theirs.
        for peer in ("unzip", "7-Zip"):
            other = t.tool(peer)
            if other:
                r = untree["median"] / other["median"]
                lines.append("| faster than %s | %s | %s | %.2f | %s |" % (peer, t.tree, t.fs, r, verdict(r < 1)))
        bound = 1.30 if t.tree == "large" else 1.10
        r = untree["median"] / t.tool("floor")["median"]
        lines.append("| checksums verified: ≤ %.2f × the floor | %s | %s | %.2f | %s |" % (
            bound, t.tree, t.fs, r, verdict(r <= bound)))
        if t.fs == "tmpfs" and t.tree in ("small", "include"):
            tar = t.tool("GNU tar")
            if tar:
                r = untree["median"] / tar["median"]
                lines.append("| ≤ 0.8 × GNU tar | %s | %s | %.2f | %s |" % (t.tree, t.fs, r, verdict(r <= 0.8)))
            r = untree["median"] / t.tool("floor")["median"]
            lines.append("| ≤ 1.15 × the floor | %s | %s | %.2f | %s |" % (t.tree, t.fs, r, verdict(r <= 1.15)))
        if t.rss is not None:
            lines.append("| peak memory ≤ 4 MiB | %s | %s | %.2f MiB | %s |" % (
                t.tree, t.fs, t.rss / 1024, verdict(t.rss <= RSS_LIMIT_KIB)))
        if t.tree == "small" and untree["calls"] is not None:
            lines.append("| ≤ 4.2 system calls per entry | %s | %s | %.2f | %s |" % (
                t.tree, t.fs, untree["calls"], verdict(untree["calls"] <= CALLS_LIMIT)))
    lines.append("")
    return lines


def pack_targets(t):
    lines = []
    pack = t.tool("untree-pack")
    if t.tree == "small" and pack["calls"] is not None:
        lines.append("| packing: ≤ %.1f system calls per file | %s | %s | %.2f | %s |" % (
            PACK_CALLS_LIMIT, t.tree, t.fs, pack["calls"], verdict(pack["calls"] <= PACK_CALLS_LIMIT)))
    tar = t.tool("GNU tar")
    if t.tree == "small" and tar:
        r = pack["median"] / tar["median"]
        lines.append("| packing: ≤ 0.75 × GNU tar | %s | %s | %.2f | %s |" % (t.tree, t.fs, r, verdict(r <= 0.75)))
    if tar:
        r = pack["median"] / tar["median"]
        lines.append("| packing with checksums: ≤ 1.00 × GNU tar | %s | %s | %.2f | %s |" % (
            t.tree, t.fs, r, verdict(r <= 1.0)))
    r = pack["median"] / t.tool("floor")["median"]
    lines.append("| packing: ≤ 1.10 × the floor | %s | %s | %.2f | %s |" % (t.tree, t.fs, r, verdict(r <= 1.10)))
    return lines


def main():
    directory, output = sys.argv[1], sys.argv[2]
    smoke = "--smoke" in sys.argv[3:]
    try:
        tags = sorted({os.path.basename(p)[: -len(".meta.json")]
                       for p in glob.glob(os.path.join(directory, "*.meta.json"))})
        if not tags:
            raise Missing("%s: no measurements" % directory)
        order = list(FILESYSTEMS) + list(TREES)
        tables = sorted((Table(directory, tag) for tag in tags),
                        key=lambda t: (list(JOBS).index(t.job), order.index(t.fs), order.index(t.tree)))
        with open(os.path.join(directory, "machine.txt")) as f:
            machine = f.read().strip().splitlines()
    except (Missing, OSError, KeyError, IndexError) as e:
        print("report.py: missing measurement: %s" % e, file=sys.stderr)
        return 1

    text = ["## Machine", ""] + ["- " + line for line in machine] + [""]
    for t in tables:
        text += t.markdown()
    if not smoke:
        text += targets(tables)
    print("\n".join(text))

    before, after = "# Benchmark results\n\n", "\n"
    if os.path.exists(output):
        with open(output) as f:
            old = f.read()
        if BEGIN in old and END in old:
            before = old[: old.index(BEGIN)]
            after = old[old.index(END) + len(END):]
    with open(output, "w") as f:
        f.write(before + BEGIN + "\n\n" + "\n".join(text) + "\n" + END + after)
    return 0


if __name__ == "__main__":
    sys.exit(main())
