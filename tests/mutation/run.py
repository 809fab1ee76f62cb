#!/usr/bin/env python3
"""Mutation check: do the native suites notice a plausible fault?

Each mutant in mutants.txt is one small edit of the product's source (a
comparison, a bound, an order, a dropped check, a wrong field, a missing
flag). The runner copies the checked-in tree to a scratch directory, builds
it once and runs the native suites on the unchanged copy (they must pass;
this also times them), then for each mutant applies its edit, rebuilds, and
runs the suites again, the quickest first, one at a time, until one fails.
A mutant is killed when a suite fails on it and the cases that failed fail
again when run once more (or the suite outlives ten times its usual time),
so that a case that fails by chance under load kills nothing; survived when
every suite passes. Mutants marked equivalent cannot change behaviour where
the suites run and are listed with the reason, not run.

    python3 tests/mutation/run.py                 every mutant
    python3 tests/mutation/run.py -k driver       only those whose id holds "driver"
    python3 tests/mutation/run.py --list          check the list against the sources, run nothing

Exit status: 0 when the score reaches --min-score (default 95 %) over at
least --min-mutants non-equivalent mutants, 1 otherwise, 2 when the list is
stale (an edit no longer matches exactly one place) or the unchanged tree
fails.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FIELDS = ("file", "find", "replace", "why", "equivalent")


class Mutant:
    def __init__(self, ident, line):
        self.id, self.line = ident, line
        self.file = self.find = self.replace = self.why = self.equivalent = None


def parse(path):
    """mutants.txt: blocks that start with "## id", then "field: value"
    lines; a value continues on lines indented by four blanks (kept with
    their line breaks, indentation removed), so multi-line edits read as
    the code they change."""
    mutants, current, field = [], None, None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("## "):
                current = Mutant(line[3:].strip(), number)
                mutants.append(current)
                field = None
            elif line.startswith("    ") and current is not None and field is not None:
                setattr(current, field, getattr(current, field) + "\n" + line[4:])
            elif ":" in line and current is not None and line.split(":", 1)[0] in FIELDS:
                field, value = line.split(":", 1)
                setattr(current, field, value[1:] if value.startswith(" ") else value)
            elif line.strip() and not line.startswith("#"):
                raise SystemExit("%s:%d: not a mutant field: %r" % (path, number, line))
    seen = set()
    for m in mutants:
        for name in ("file", "find", "replace", "why"):
            if getattr(m, name) is None:
                raise SystemExit("%s:%d: mutant %s has no %s" % (path, m.line, m.id, name))
        if m.id in seen:
            raise SystemExit("%s:%d: mutant id %s used twice" % (path, m.line, m.id))
        seen.add(m.id)
    return mutants


def stale(mutants, root):
    """The mutants whose edit does not match exactly one place of its file."""
    bad = []
    for m in mutants:
        path = os.path.join(root, m.file)
        count = open(path, encoding="utf-8").read().count(m.find) if os.path.exists(path) else 0
        if count != 1 or m.find == m.replace:
            bad.append((m, count))
    return bad


def checked_in_files():
    out = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, stdout=subprocess.PIPE, check=True).stdout
    return [p for p in out.decode().split("\0") if p]


def run(cmd, cwd, log, timeout=None):
    with open(log, "ab") as f:
        f.write(("\n$ %s\n" % " ".join(cmd)).encode())
        f.flush()
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=f, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return "timeout"


def run_captured(cmd, cwd, log, timeout, env=None):
    """run(), also returning what the command printed."""
    with open(log, "ab") as f:
        f.write(("\n$ %s\n" % " ".join(cmd)).encode())
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout, env=env)
        rc, out = p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        rc, out = "timeout", e.stdout or b""
    with open(log, "ab") as f:
        f.write(out)
    return rc, out.decode("utf-8", "replace")


# The cases a suite names as failed: GoogleTest's, and the script suites'
# (tests/harness.py). Run again through these variables; a suite that names
# none is run again whole.
FAILED_CASES = ((re.compile(r"^\[  FAILED  \] (\w[\w/]*\.[\w/]+)", re.M), "GTEST_FILTER", ":"),
                (re.compile(r"^FAILED +(\w+)", re.M), "UNTREE_TEST_CASES", ","))


def ctest_names(build, log):
    out = run_captured(["ctest", "--show-only"], build, log, 120)[1]
    return re.findall(r"^\s*Test\s+#\d+: (\S+)", out, re.M)


class Suites:
    """The native suites, run one ctest name at a time."""

    def __init__(self, build, log, ceiling):
        self.build, self.log, self.ceiling = build, log, ceiling
        self.names = ctest_names(build, log)
        self.seconds = {}

    def _run(self, name, timeout, env=None):
        return run_captured(["ctest", "-R", "^%s$" % re.escape(name), "--output-on-failure",
                             "--timeout", str(int(timeout))], self.build, self.log, timeout + 60, env)

    def timeout(self, name):
        return min(self.ceiling, 10 * self.seconds.get(name, self.ceiling) + 60)

    def time_unchanged(self):
        """Runs each suite on the unchanged tree (twice for one that fails
        at first); the names of those that fail both times."""
        failing = []
        for name in self.names:
            for attempt in range(2):
                start = time.time()
                rc, _ = self._run(name, self.ceiling)
                self.seconds[name] = time.time() - start
                if rc == 0:
                    if attempt:
                        print("%s failed once on the unchanged tree and passed when run again" % name, flush=True)
                    break
            else:
                failing.append(name)
        self.names.sort(key=lambda n: self.seconds[n])
        return failing

    def first_failure(self):
        """None when every suite passes; else (suite, what failed)."""
        for name in self.names:
            rc, out = self._run(name, self.timeout(name))
            if rc == 0:
                continue
            if rc == "timeout" or "***Timeout" in out:
                return name, "timed out"
            for pattern, variable, separator in FAILED_CASES:
                cases = sorted(set(pattern.findall(out)))
                if cases:
                    env = dict(os.environ, **{variable: separator.join(cases)})
                    break
            else:
                cases, env = [], None
            if self._run(name, self.timeout(name), env)[0] != 0:
                return name, ", ".join(cases) or "the whole suite"
            print("         (%s failed once and passed when run again: not counted)" % name, flush=True)
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-k", action="append", default=[], help="only mutants whose id holds this")
    parser.add_argument("--list", action="store_true", help="check the list, run nothing")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("UNTREE_JOBS", "2")))
    parser.add_argument("--test-timeout", type=int, default=600, help="seconds per test")
    parser.add_argument("--min-score", type=float, default=95.0)
    parser.add_argument("--min-mutants", type=int, default=40)
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree")
    args = parser.parse_args()

    mutants = parse(os.path.join(HERE, "mutants.txt"))
    bad = stale(mutants, ROOT)
    for m, count in bad:
        print("STALE   %s (%s:%d): the edit matches %d places of %s" % (m.id, "mutants.txt", m.line, count, m.file))
    if bad:
        return 2
    folders = sorted({os.path.dirname(m.file) for m in mutants})
    live = [m for m in mutants if not m.equivalent]
    print("%d mutants (%d equivalent) over %s" % (len(mutants), len(mutants) - len(live), ", ".join(folders)))
    if args.list:
        return 0
    chosen = [m for m in mutants if not args.k or any(k in m.id for k in args.k)]

    scratch = tempfile.mkdtemp(prefix="untree-mutation-")
    src, build, log = os.path.join(scratch, "src"), os.path.join(scratch, "build"), os.path.join(scratch, "log")
    print("scratch %s (build and test output in %s)" % (scratch, log), flush=True)
    for rel in checked_in_files():
        target = os.path.join(src, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, rel), target, follow_symlinks=False)

    def build_tree():
        return run(["cmake", "--build", build, "-j", str(args.jobs)], src, log) == 0

    if run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DUNTREE_TESTS=ON"], src, log) != 0 \
            or not build_tree():
        print("the unchanged tree does not build; see %s" % log)
        return 2
    suites = Suites(build, log, args.test_timeout)
    failing = suites.time_unchanged()
    if failing or not suites.names:
        print("the native suites fail on the unchanged tree (%s); see %s" % (", ".join(failing) or "none found", log))
        return 2
    print("suites, quickest first: %s" % ", ".join("%s %.1fs" % (n, suites.seconds[n]) for n in suites.names),
          flush=True)

    killed, survived, results = 0, [], []
    for m in chosen:
        if m.equivalent:
            print("EQUIV    %-34s        %s" % (m.id, " ".join(m.equivalent.split())), flush=True)
            continue
        path = os.path.join(src, m.file)
        original = open(path, encoding="utf-8").read()
        start = time.time()
        detail = ""
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m.find, m.replace, 1))
            if not build_tree():
                outcome = "BROKEN"  # the edit does not compile: a fault of the list
            else:
                failure = suites.first_failure()
                outcome = "KILLED" if failure else "SURVIVED"
                detail = "  [%s: %s]" % failure if failure else ""
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
            os.utime(path)  # newer than the mutant's objects: rebuilt next time
        if outcome == "KILLED":
            killed += 1
        elif outcome == "SURVIVED":
            survived.append(m)
        results.append((m, outcome))
        print("%-8s %-34s %5.0fs  %s%s" % (outcome, m.id, time.time() - start, m.why, detail), flush=True)

    run_count = sum(1 for _, o in results if o in ("KILLED", "SURVIVED"))
    broken = [m for m, o in results if o == "BROKEN"]
    score = 100.0 * killed / run_count if run_count else 0.0
    print()
    for m in survived:
        print("survived: %s (%s): %s" % (m.id, m.file, m.why))
    for m in broken:
        print("broken:   %s (%s): the edit does not build" % (m.id, m.file))
    print("mutation score: %d of %d killed (%.1f %%), %d equivalent not run, %d broken"
          % (killed, run_count, score, sum(1 for m in chosen if m.equivalent), len(broken)))
    if args.keep or broken:
        print("scratch kept: %s" % scratch)
    else:
        shutil.rmtree(scratch, ignore_errors=True)
    if broken:
        return 2
    if args.k:
        return 0 if not survived else 1
    return 0 if score >= args.min_score and run_count >= args.min_mutants else 1


if __name__ == "__main__":
    sys.exit(main())
