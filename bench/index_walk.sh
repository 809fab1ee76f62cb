#!/usr/bin/env bash
# What untree's walk over the index before it writes costs: for each tree
# archive given, the CPU time (user + system, which other load disturbs less
# than the wall clock) of that walk alone (twenty in a row, divided), taken as untree-list walking the
# same index with a FILTER that selects nothing, against the CPU time of
# untree extracting the archive into a fresh directory beside it; medians of
# RUNS. Then untree's peak resident memory on each archive, and on archives
# of 1,000,000 entries (bench/gen_index.py) in one directory and in many,
# walked with a FILTER that selects nothing. Not run by the test command;
# the numbers go to bench/RESULTS.md by hand.
#
#   bench/index_walk.sh --untree build/untree --list build/list/untree-list \
#       [--runs N] [--work DIR] ARCHIVE...
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
UNTREE= LIST= RUNS=10 WORK=/dev/shm/untree-index-bench
ARCHIVES=()
while (($#)); do
    case $1 in
    --untree) UNTREE=$2; shift 2 ;;
    --list) LIST=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    -*) echo "index_walk.sh: unknown option $1" >&2; exit 64 ;;
    *) ARCHIVES+=("$1"); shift ;;
    esac
done
[[ -x $UNTREE && -x $LIST ]] || { echo "index_walk.sh: give --untree and --list" >&2; exit 64; }
mkdir -p "$WORK"
NOTHING=$'\x01none'

median() { sort -n | sed -n "$(((RUNS + 1) / 2))p"; }
cpu() { /usr/bin/time -f "%U %S" -o "$WORK/time" "$@" >/dev/null 2>&1 || true; awk '{print $1 + $2}' "$WORK/time"; }
rss() { /usr/bin/time -f "%M" -o "$WORK/time" "$@" >/dev/null 2>&1 || true; cat "$WORK/time"; }

echo "load before: $(cat /proc/loadavg)"
for archive in "${ARCHIVES[@]}"; do
    dest=$(dirname "$archive")/index-walk-dest
    # Twenty walks a sample: one is shorter than the clock's 10 ms steps.
    walk=$(for _ in $(seq "$RUNS"); do
        cpu bash -c 'for i in {1..20}; do "$0" --names "$1" "$2"; done' "$LIST" "$archive" "$NOTHING"
    done | median | awk '{print $1 / 20}')
    whole=$(for _ in $(seq "$RUNS"); do rm -rf "$dest"; mkdir "$dest"; cpu "$UNTREE" "$archive" "$dest"; done | median)
    rm -rf "$dest"; mkdir "$dest"
    peak=$(rss "$UNTREE" "$archive" "$dest")
    rm -rf "$dest"
    awk -v a="$archive" -v w="$walk" -v t="$whole" -v m="$peak" \
        'BEGIN { printf "%s: walk %.4f s, untree %.3f s CPU: %.2f %%; peak resident %d KiB\n", a, w, t, 100 * w / t, m }'
done
for per_dir in 1000 1000001; do
    archive=$WORK/million-$per_dir.tree
    python3 "$HERE/gen_index.py" "$archive" --entries 1000000 --per-dir "$per_dir" >/dev/null
    mkdir -p "$WORK/dest"
    echo "1,000,000 entries, $((per_dir - 1)) files a directory: peak resident $(rss "$UNTREE" "$archive" "$WORK/dest" "$NOTHING") KiB"
    rm -f "$archive"
done
echo "load after: $(cat /proc/loadavg)"
