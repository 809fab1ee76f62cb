#!/bin/bash
# What the extension's checksums cost, as ratios within one hyperfine
# invocation per question, on a tmpfs mounted for the run (as root):
#
#   1. untree-list --check ARCHIVE (reads every content and checks its
#      CRC-32C) against cat ARCHIVE > /dev/null, the archive in the page
#      cache: a 400 MB file of random bytes, and a copy of /usr/include;
#   2. untree of the extended archive (every checksum verified) against
#      untree of the --plain archive and the floor (bench-floor), into a
#      fresh empty destination: many small files, large files, /usr/include;
#   3. untree-pack (checksums taken) against untree-pack --plain and
#      GNU tar -cf, the archive removed before every run: the same trees.
#
#   bench/checksum_cost.sh --build DIR [--before DIR] [--runs N] [--work DIR] [--trees "..."]
#
# DIR holds untree, list/untree-list, pack/untree-pack and bench/bench-floor;
# --before adds the same programs of an earlier build to every group, to
# show what a change gained in the same run.
# Prints one line per command: median wall seconds, mean user + system
# seconds, and the median over the first command's of its group.
set -euo pipefail

HERE=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
build='' before='' runs=15 work=/tmp/untree-checksum-cost trees="small large include"
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$(readlink -f "$2"); shift ;;
    --before) before=$(readlink -f "$2"); shift ;;
    --runs) runs=$2; shift ;;
    --work) work=$2; shift ;;
    --trees) trees=$2; shift ;;
    *) echo "checksum_cost.sh: unknown option $1" >&2; exit 1 ;;
    esac
    shift
done
[ -n "$build" ] || { echo "checksum_cost.sh: --build DIR is needed" >&2; exit 1; }
untree=$build/untree list=$build/list/untree-list pack=$build/pack/untree-pack floor=$build/bench/bench-floor
for p in "$untree" "$list" "$pack" "$floor"; do [ -x "$p" ] || { echo "not a program: $p" >&2; exit 1; }; done
tar=$(command -v tar)

mkdir -p "$work"
mountpoint -q "$work" || mount -t tmpfs -o size=8G tmpfs "$work"
trap 'cd /; umount "$work"' EXIT
cd "$work"

# hyperfine's JSON as one line per command, the first command's median the base.
report() {
    python3 - "$1" <<'EOF'
import json, statistics, sys
results = json.load(open(sys.argv[1]))["results"]
base = statistics.median(results[0]["times"])
for r in results:
    median = statistics.median(r["times"])
    print("  %-64s median %.4f s  user+sys %.4f s  ratio %.3f" % (
        r["command"][-64:], median, r["user"] + r["system"], median / base))
EOF
}

run() {  # title prepare command...
    local title=$1 prepare=$2
    shift 2
    echo "$title (load $(cut -d' ' -f1 /proc/loadavg))"
    local args=(--style none --warmup 2 --runs "$runs" --output null --export-json "$work/last.json")
    [ -n "$prepare" ] && args+=(--prepare "$prepare")
    hyperfine "${args[@]}" "$@" >/dev/null
    report "$work/last.json"
}

for tree in $trees; do
    case $tree in
    small | large) python3 "$HERE/gen_trees.py" "$tree" "src-$tree" >/dev/null ;;
    include) python3 "$HERE/gen_trees.py" copy /usr/include "src-$tree" >/dev/null ;;
    esac
    "$pack" "src-$tree" "$tree.tree" >/dev/null
    "$pack" --plain "src-$tree" "$tree.plain" >/dev/null
done
mkdir -p src-one
head -c 400000000 /dev/urandom >src-one/random.bin
"$pack" src-one one.tree >/dev/null

# The earlier build's commands, when asked for: what follows `--` in each
# group, with its programs.
earlier() {  # program-in-build arguments...
    [ -n "$before" ] || return 0
    local program=$1
    shift
    printf '%s\n' "$before${program#"$build"} $*"
}

for archive in one.tree $([[ " $trees " == *" include "* ]] && echo include.tree); do
    mapfile -t old < <(earlier "$list" --check "$archive")
    run "check: $archive" "" "cat $archive" "$list --check $archive" "${old[@]}"
done
for tree in $trees; do
    mapfile -t old < <(earlier "$untree" "$tree.tree" dest)
    run "extract: $tree" "rm -rf dest && mkdir dest" "$floor $tree.plain dest" "$untree $tree.tree dest" \
        "$untree $tree.plain dest" "${old[@]}"
done
for tree in $trees; do
    mapfile -t old < <(earlier "$pack" "src-$tree" packed)
    run "pack: $tree" "rm -f packed" "$tar -cf packed -C src-$tree ." "$pack src-$tree packed" \
        "$pack --plain src-$tree packed" "${old[@]}"
done
