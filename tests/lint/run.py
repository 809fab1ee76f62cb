#!/usr/bin/env python3
"""clang-tidy and clang-format over the sources, as test.sh's lint stage runs them.

    python3 tests/lint/run.py tidy --build build --windows-build build-win
    python3 tests/lint/run.py format            # which files clang-format would change
    python3 tests/lint/run.py format --fix      # change them

`tidy` checks every source file of the programs (archive/, extract/,
report/, platform/, pack/, list/) with the checked-in .clang-tidy: each one
the native tree compiles, from its compile_commands.json, and each one the
Windows tree compiles, from that tree's, parsed by clang as a 32-bit MinGW
program against MinGW's own headers. Both trees need only be configured.
A source file that neither tree compiles fails the run: it would go
unchecked. `format` checks every C and C++ file of the programs, the tests,
the fuzz targets and the benchmark's floor programs against .clang-format.

Each finding is printed as it comes; the last lines name what failed, one
line per file, and the exit status is 1 when anything did.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PRODUCT_DIRS = ["archive", "extract", "report", "platform", "pack", "list"]
FORMAT_DIRS = PRODUCT_DIRS + ["tests", "fuzz", "bench"]
WINDOWS_TARGET = "i686-w64-mingw32"
FINDING = re.compile(r"^(\S+?):(\d+):(\d+): (?:error|warning): (.*)$")


def sources(dirs, endings):
    found = []
    for d in dirs:
        for parent, subdirs, names in os.walk(os.path.join(ROOT, d)):
            subdirs.sort()
            found += [os.path.join(parent, n) for n in sorted(names) if n.endswith(endings)]
    return found


def relative(path):
    return os.path.relpath(os.path.normpath(os.path.join(ROOT, path)), ROOT)


def compiled_files(build):
    """The product's source files that the tree at `build` compiles."""
    database = os.path.join(build, "compile_commands.json")
    if not os.path.exists(database):
        sys.exit(f"lint: {database} is missing: configure the tree first")
    with open(database) as f:
        entries = json.load(f)
    product = tuple(d + os.sep for d in PRODUCT_DIRS)
    files = set()
    for entry in entries:
        path = relative(os.path.join(entry["directory"], entry["file"]))
        if path.startswith(product):
            files.add(path)
    return sorted(files)


def mingw_include_dirs():
    """MinGW's C++ and C headers, in the order its own compiler searches them,
    without GCC's private directory (clang brings its own intrinsics)."""
    compiler = WINDOWS_TARGET + "-g++-posix"
    if not shutil.which(compiler):
        sys.exit(f"lint: {compiler} is missing")
    run = subprocess.run([compiler, "-xc++", "-E", "-v", os.devnull], capture_output=True, text=True)
    dirs, inside = [], False
    for line in run.stderr.splitlines():
        if line.startswith("#include <...>"):
            inside = True
        elif line.startswith("End of search list"):
            break
        elif inside:
            d = os.path.normpath(line.strip())
            if not re.search(r"/gcc/[^/]+/[^/]+/include(-fixed)?$", d):
                dirs.append(d)
    if not dirs:
        sys.exit(f"lint: {compiler} names no include directories")
    return dirs


def tidy_one(build, path, extra):
    command = ["clang-tidy", "--quiet", "-p", build] + extra + [os.path.join(ROOT, path)]
    run = subprocess.run(command, capture_output=True, text=True, cwd=ROOT)
    findings = []
    for line in run.stdout.splitlines():
        m = FINDING.match(line)
        if m:
            findings.append(f"{relative(m.group(1))}:{m.group(2)}:{m.group(3)}: {m.group(4)}")
    if run.returncode != 0 and not findings:
        findings.append(f"{path}: clang-tidy exit {run.returncode}: {run.stderr.strip()[-300:]}")
    return run.returncode, run.stdout, findings


def tidy(args):
    windows_extra = ["--extra-arg-before=--target=" + WINDOWS_TARGET,
                     "--extra-arg=-nostdinc++", "--extra-arg=-nostdlibinc"]
    windows_extra += ["--extra-arg=-isystem" + d for d in mingw_include_dirs()]
    runs = [("native", os.path.abspath(args.build), []),
            ("windows", os.path.abspath(args.windows_build), windows_extra)]
    jobs, covered = [], set()
    for name, build, extra in runs:
        files = compiled_files(build)
        covered.update(files)
        jobs += [(name, build, path, extra) for path in files]
    failed = []
    missing = [p for p in (relative(s) for s in sources(PRODUCT_DIRS, (".cpp", ".c"))) if p not in covered]
    for path in missing:
        failed.append(f"{path}: compiled by neither tree, so never checked")
    with ThreadPoolExecutor(args.jobs) as pool:
        results = pool.map(lambda j: (j, tidy_one(j[1], j[2], j[3])), jobs)
        seen = set()
        for (name, build, path, extra), (rc, output, findings) in results:
            print(f"tidy {name}: {path}: {'ok' if rc == 0 else 'FAILED'}", flush=True)
            if rc != 0:
                sys.stdout.write(output)
                for finding in findings:
                    if (name, finding) not in seen:
                        seen.add((name, finding))
                        failed.append(f"{name}: {finding}")
    print(f"tidy: {len(jobs)} files checked ({len(covered)} distinct), {len(failed)} findings")
    return failed


def format_files(args):
    files = sources(FORMAT_DIRS, (".c", ".cpp", ".h"))
    if args.fix:
        subprocess.run(["clang-format", "-i"] + files, check=True)
        print(f"format: {len(files)} files formatted")
        return []
    failed = []
    for path in files:
        run = subprocess.run(["clang-format", "--dry-run", "--Werror", path], capture_output=True, text=True)
        lines = [m.group(2) for m in (FINDING.match(l) for l in run.stderr.splitlines()) if m]
        if run.returncode != 0:
            sys.stdout.write(run.stderr)
            where = f" (lines {', '.join(lines[:5])}{', ...' if len(lines) > 5 else ''})" if lines else ""
            failed.append(f"{relative(path)}: not as clang-format writes it{where}")
    print(f"format: {len(files)} files checked, {len(failed)} to change")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["tidy", "format"])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the native tree")
    parser.add_argument("--windows-build", default=os.path.join(ROOT, "build-win"), help="the Windows tree")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--fix", action="store_true", help="format: rewrite the files in place")
    args = parser.parse_args()
    failed = tidy(args) if args.what == "tidy" else format_files(args)
    for line in failed:
        print("FAILED  " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
