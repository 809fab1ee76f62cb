#!/usr/bin/env bash
# untree-mount against the extracted tree on tmpfs, archivemount serving a
# tar and fuse-zip serving a `zip -0` of the same tree, in one run:
#
#   - mounting an archive of 1,000,000 entries (bench/gen_index.py): the
#     time until the mount stands (untree-mount returns then) and the
#     serving process's peak resident memory;
#   - `find MOUNTPOINT | wc -l` on each benchmark tree, on a fresh mount
#     (first) and once more (again);
#   - reading every file: `tar -cf - -C MOUNTPOINT . | cat > /dev/null`.
#     (GNU tar reads no content at all when its archive is /dev/null, so the
#     archive goes through a pipe.) First: a fresh mount, the archive in the
#     page cache; again: the same mount read once more.
#
# Medians of RUNS runs (archivemount and fuse-zip: OTHER_RUNS, and each
# command of theirs given at most LIMIT seconds: archivemount cannot seek
# inside a member, so a large file costs it the square of its length); each
# ratio is taken against tmpfs in the same run.
# As root (it mounts). The tables go to standard output and, between the
# two marker lines, to the "Mounting" part of bench/RESULTS.md with --results.
#
#   bench/mount.sh [--mount PATH --untree PATH --pack PATH --list PATH] [--runs N] [--other-runs N] [--limit S]
#                  [--trees "small large include"] [--entries N] [--work DIR]
#                  [--results FILE]
set -euo pipefail
HERE=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
REPO=$(dirname "$HERE")
MOUNT= UNTREE= PACK= LIST= RUNS=5 OTHER_RUNS=1 LIMIT=600 TREES="small large include" ENTRIES=1000000 WORK=/dev/shm/untree-mount-bench RESULTS=
while (($#)); do
    case $1 in
    --mount) MOUNT=$2; shift 2 ;;
    --untree) UNTREE=$2; shift 2 ;;
    --pack) PACK=$2; shift 2 ;;
    --list) LIST=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --other-runs) OTHER_RUNS=$2; shift 2 ;;
    --limit) LIMIT=$2; shift 2 ;;
    --trees) TREES=$2; shift 2 ;;
    --entries) ENTRIES=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --results) RESULTS=$2; shift 2 ;;
    *) echo "mount.sh: unknown option $1" >&2; exit 64 ;;
    esac
done
die() { echo "mount.sh: $*" >&2; exit 1; }
[[ $(id -u) == 0 ]] || die "run it as root: it mounts"
for tool in archivemount fuse-zip zip fusermount3 tar; do
    type -P $tool > /dev/null || die "$tool is missing (Debian packages archivemount fuse-zip zip fuse3 tar)"
done
if [[ -z $MOUNT ]]; then
    cmake -S "$REPO" -B "$REPO/build-bench" -DCMAKE_BUILD_TYPE=Release -DUNTREE_TESTS=OFF > /dev/null
    cmake --build "$REPO/build-bench" -j2 --target untree untree-pack untree-list untree-mount > /dev/null
    MOUNT=$REPO/build-bench/mount/untree-mount UNTREE=$REPO/build-bench/untree PACK=$REPO/build-bench/pack/untree-pack
    LIST=$REPO/build-bench/list/untree-list
fi
[[ -z $RESULTS ]] || RESULTS=$(readlink -f "$RESULTS")
for program in MOUNT UNTREE PACK LIST; do
    [[ -x ${!program} ]] || die "--${program,,} must name the program"
    printf -v $program '%s' "$(readlink -f "${!program}")"
done

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
POINT=$WORK/mnt
mkdir -p "$POINT"
out=$WORK/tables.md
: > "$out"
say() { printf '%s\n' "$*" | tee -a "$out"; }
cleanup() { mountpoint -q "$POINT" && fusermount3 -u -z "$POINT"; true; }
trap cleanup EXIT

now() { date +%s.%N; }
median() { local all; all=$(sort -g); sed -n "$((($(wc -l <<< "$all") + 1) / 2))p" <<< "$all"; }
ratio() { [[ $1$2 == *'>'* ]] && { echo "-"; return; }; awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
speed() { [[ $2 == *'>'* ]] && { echo "-"; return; }; awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", b / t / 1e6 }'; }

# The serving process of the mount at $POINT (looked up, never signalled).
server_pid() { pgrep -f -n -- "$1 .*$POINT\$"; }

unmount() {
    fusermount3 -u "$POINT"
    # Until the mount point shows its own directory again.
    while mountpoint -q "$POINT"; do findmnt --poll=umount --first-only --timeout 1000 --mountpoint "$POINT" > /dev/null || true; done
}

# mount_with KIND ARCHIVE: the mount stands when the command returns.
mount_with() {
    case $1 in
    untree) "$MOUNT" "$2" "$POINT" ;;
    archivemount) archivemount -o ro "$2" "$POINT" ;;
    fuse-zip) fuse-zip -r "$2" "$POINT" ;;
    esac
    mountpoint -q "$POINT" || die "$1 did not mount $2"
}

# --- Mounting a million entries ----------------------------------------------------
index=$WORK/index.tree
say "### Mounting a million entries"
say ""
say "untree-mount on an archive of $(python3 "$HERE/gen_index.py" "$index" --entries "$ENTRIES") (bench/gen_index.py), in the page cache; $RUNS runs, medians:"
cat "$index" > /dev/null
times=() cpus=() peaks=()
for ((i = 0; i < RUNS; i++)); do
    /usr/bin/time -f '%e %U %S' -o "$WORK/time" "$MOUNT" "$index" "$POINT"
    read -r wall user system < "$WORK/time"
    pid=$(server_pid untree-mount)
    times+=("$wall")
    cpus+=("$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')")
    count=$( (find "$POINT" | wc -l) )
    ((count == ENTRIES + 1)) || die "find saw $count entries in the mounted index, not $((ENTRIES + 1))"
    peaks+=("$(awk '/^VmHWM/ { print $2 }' /proc/"$pid"/status)")
    unmount
done
say ""
say "| | median | bound |"
say "|---|---:|---:|"
say "| mounted and ready, wall (s) | $(printf '%s\n' "${times[@]}" | median) | 1 |"
say "| the same, user + system (s) | $(printf '%s\n' "${cpus[@]}" | median) | |"
say "| untree-list --check on the same archive, wall (s) | $(for ((i = 0; i < RUNS; i++)); do /usr/bin/time -f %e -o "$WORK/time" "$LIST" --check "$index" > /dev/null; cat "$WORK/time"; done | median) | |"
say "| peak resident, after a find over every entry (MiB) | $(printf '%s\n' "${peaks[@]}" | median | awk '{ printf "%.1f", $1 / 1024 }') | 200 |"
rm -f "$index"

# --- The benchmark trees ------------------------------------------------------------
# time_runs PREPARE COMMAND: the median wall time of COMMAND, PREPARE run
# (untimed) before each.
time_runs() {
    local prepare=$1 command=$2 runs=${3:-$RUNS} i t0 t1 all=()
    for ((i = 0; i < runs; i++)); do
        eval "$prepare"
        t0=$(now)
        timeout "$LIMIT" bash -c "$command" > /dev/null || { echo ">$LIMIT"; return; }
        t1=$(now)
        all+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')")
    done
    printf '%s\n' "${all[@]}" | median
}

for tree in $TREES; do
    src=$WORK/$tree
    rm -rf "$src" "$WORK/extracted"
    case $tree in
    small) counts=$(python3 "$HERE/gen_trees.py" small "$src") ;;
    large) counts=$(python3 "$HERE/gen_trees.py" large "$src") ;;
    include) counts=$(python3 "$HERE/gen_trees.py" copy /usr/include "$src") ;;
    *) die "unknown tree $tree" ;;
    esac
    "$PACK" "$src" "$WORK/a.tree" > /dev/null
    tar -cf "$WORK/a.tar" -C "$src" .
    (cd "$src" && zip -0 -q -r "$WORK/a.zip" .)
    mkdir "$WORK/extracted"
    "$UNTREE" "$WORK/a.tree" "$WORK/extracted" > /dev/null
    cat "$WORK/a.tree" "$WORK/a.tar" "$WORK/a.zip" > /dev/null
    say ""
    say "### $tree tree: $counts"
    say ""
    say "| | find \\| wc -l first (s) | again (s) | ratio to tmpfs, first | again | tar first (s) | again (s) | MB/s first | ratio to tmpfs, first | again |"
    say "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    bytes=$(du -sb --apparent-size "$src" | cut -f1)
    find_cmd="find . | wc -l"
    tar_cmd="tar -cf - . | cat > /dev/null"
    cd "$WORK/extracted"
    base_find=$(time_runs : "$find_cmd")
    base_tar=$(time_runs : "$tar_cmd")
    say "| tmpfs (extracted) | $base_find | $base_find | 1.00 | 1.00 | $base_tar | $base_tar | $(speed "$bytes" "$base_tar") | 1.00 | 1.00 |"
    cd "$WORK"
    for kind in untree archivemount fuse-zip; do
        case $kind in
        untree) archive=$WORK/a.tree; label=untree-mount ;;
        archivemount) archive=$WORK/a.tar; label="archivemount (tar)" ;;
        fuse-zip) archive=$WORK/a.zip; label="fuse-zip (zip -0)" ;;
        esac
        runs=$RUNS
        [[ $kind == untree ]] || runs=$OTHER_RUNS
        fresh="cd '$WORK'; if mountpoint -q '$POINT'; then unmount; fi; mount_with $kind '$archive'; cd '$POINT'"
        find_first=$(time_runs "$fresh" "$find_cmd" $runs)
        find_again=$(time_runs "cd '$POINT'" "$find_cmd" $runs)
        tar_first=$(time_runs "$fresh" "$tar_cmd" $runs)
        tar_again=$(time_runs "cd '$POINT'" "$tar_cmd" $runs)
        cd "$WORK"
        unmount
        say "| $label | $find_first | $find_again | $(ratio "$find_first" "$base_find") | $(ratio "$find_again" "$base_find") | $tar_first | $tar_again | $(speed "$bytes" "$tar_first") | $(ratio "$base_tar" "$tar_first") | $(ratio "$base_tar" "$tar_again") |"
    done
    rm -rf "$src" "$WORK/extracted" "$WORK/a.tree" "$WORK/a.tar" "$WORK/a.zip"
done
say ""
say "find ratios are times (lower is better; bound 2.00); tar ratios are speeds against tmpfs (higher is better; bound 0.70)."
say "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), kernel $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)."

if [[ -n $RESULTS ]]; then
    python3 - "$RESULTS" "$out" <<'PY'
import sys
results, tables = sys.argv[1], open(sys.argv[2]).read()
begin, end = "<!-- mount results begin -->", "<!-- mount results end -->"
text = open(results).read()
block = begin + "\n" + tables + end
if begin in text:
    text = text[:text.index(begin)] + block + text[text.index(end) + len(end):]
else:
    text = text.rstrip("\n") + "\n\n" + block + "\n"
open(results, "w").write(text)
PY
fi
rm -rf "$WORK"
