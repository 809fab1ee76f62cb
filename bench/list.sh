#!/usr/bin/env bash
# untree-list on an archive of a million entries (bench/gen_index.py): the
# time (wall, and user + system, which other load disturbs less) and peak
# resident memory of a listing, of --names, --json and --check, each run
# RUNS times, standard output to /dev/null; medians. Not run by the
# test command; the numbers go to bench/RESULTS.md by hand.
#
#   bench/list.sh --list build/list/untree-list [--entries N] [--runs N] [--work DIR]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
LIST=
ENTRIES=1000000
RUNS=5
WORK=/dev/shm/untree-list-bench
while (($#)); do
    case $1 in
    --list) LIST=$2; shift 2 ;;
    --entries) ENTRIES=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) echo "list.sh: unknown option $1" >&2; exit 64 ;;
    esac
done
[[ -x $LIST ]] || { echo "list.sh: --list must name the untree-list binary" >&2; exit 64; }
mkdir -p "$WORK"
ARCHIVE=$WORK/index.tree
echo "archive: $(python3 "$HERE/gen_index.py" "$ARCHIVE" --entries "$ENTRIES"), $(du -k "$ARCHIVE" | cut -f1) KiB on disk"
cat "$ARCHIVE" > /dev/null  # in the page cache, as after any recent copy

median() { sort -n | sed -n "$(((RUNS + 1) / 2))p"; }
printf '%-10s %8s %8s %10s\n' mode "wall s" "cpu s" "peak KiB"
for mode in list --names --json --check; do
    walls=() cpus=() peak=0
    for ((i = 0; i < RUNS; i++)); do
        args=("$ARCHIVE")
        [[ $mode == list ]] || args=("$mode" "$ARCHIVE")
        rc=0
        /usr/bin/time -f '%e %U %S %M' -o "$WORK/time" "$LIST" "${args[@]}" > /dev/null || rc=$?
        ((rc == 0)) || { echo "list.sh: untree-list $mode exited $rc" >&2; exit 1; }
        read -r wall user system kib < "$WORK/time"
        walls+=("$wall")
        cpus+=("$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')")
        ((kib > peak)) && peak=$kib
    done
    printf '%-10s %8s %8s %10s\n' "$mode" "$(printf '%s\n' "${walls[@]}" | median)" \
        "$(printf '%s\n' "${cpus[@]}" | median)" "$peak"
done
rm -rf "$WORK"
