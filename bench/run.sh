#!/usr/bin/env bash
# The extraction benchmark, in one command:
#
#   bench/run.sh                 the whole benchmark (as root: it mounts)
#   bench/run.sh --smoke         one run of each tool on a tiny tree in a
#                                plain temporary folder: checks that it all
#                                still works and makes a table; times nothing
#
# It generates deterministic trees (bench/gen_trees.py), packs each with
# untree-pack and as an uncompressed tar, and times extraction into a fresh
# empty destination with hyperfine for untree, GNU tar -xf, bsdtar -xf and the
# floor program (bench/floor.c), on a tmpfs and on a fresh loop-mounted ext4
# image. Every extracted tree is compared with its source. Then, outside the
# timing, it measures untree's peak resident memory (/usr/bin/time -v) and
# every tool's system calls per extracted entry (strace -f -c). Then, on the
# tmpfs, it times packing each tree (copied there) with untree-pack, GNU tar
# -cf, bsdtar -cf and the packing floor (bench/pack_floor.c, whose archive
# must equal untree-pack's byte for byte), with system calls per packed file.
# It prints one table per tree, file system and job and keeps them, with the
# machine they ran on, in bench/RESULTS.md (between its two marker lines;
# the rest of that file is left as it is).
#
# Options:
#   --untree PATH --pack PATH --floor PATH --pack-floor PATH
#                     use these programs instead of building them in
#                     --build-dir
#   --untree-before PATH
#                     in the over job, also time this untree (an earlier
#                     build) over the existing copy, to show what a change
#                     costs
#   --build-dir DIR   where to build them (default: build-bench in the repo)
#   --work DIR        scratch space for source trees, results and the ext4
#                     image (default: /tmp/untree-bench)
#   --results FILE    where the tables go (default: bench/RESULTS.md; with
#                     --smoke: WORK/RESULTS.md)
#   --trees "..."     a subset of: small large include (default: all)
#   --fs "..."        a subset of: tmpfs ext4 (default: both)
#   --jobs "..."      a subset of: extract over pack (default: all three;
#                     over: extraction over an existing copy of the tree,
#                     every file of which is replaced)
#   --runs N          timed runs per tool (default 10; --smoke: 1)
#   --wait-load L     first wait (up to 30 minutes) until the one-minute load
#                     average is below L
#
# Exit status: 0 done, 1 something failed (a tool, a comparison), 77 --smoke
# without hyperfine (the test counts that as skipped).
set -euo pipefail

HERE=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
REPO=$(dirname "$HERE")

smoke=0
untree= pack= floor= pack_floor= untree_before=
build_dir=$REPO/build-bench
work=/tmp/untree-bench
results=
trees="small large include"
filesystems="tmpfs ext4"
jobs="extract over pack"
runs=
wait_load=
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) smoke=1 ;;
    --untree) untree=$2; shift ;;
    --pack) pack=$2; shift ;;
    --floor) floor=$2; shift ;;
    --pack-floor) pack_floor=$2; shift ;;
    --untree-before) untree_before=$(readlink -f "$2"); shift ;;
    --build-dir) build_dir=$2; shift ;;
    --work) work=$2; shift ;;
    --results) results=$2; shift ;;
    --trees) trees=$2; shift ;;
    --fs) filesystems=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --runs) runs=$2; shift ;;
    --wait-load) wait_load=$2; shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (try --help)" >&2; exit 1 ;;
    esac
    shift
done

say() { printf '== %s\n' "$*" >&2; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

if ! command -v hyperfine >/dev/null; then
    [ $smoke = 1 ] && { echo "run.sh: hyperfine is not installed; smoke run skipped" >&2; exit 77; }
    die "hyperfine is not installed (Debian package hyperfine)"
fi
command -v python3 >/dev/null || die "python3 is not installed"

if [ $smoke = 1 ]; then
    trees=tiny
    filesystems=dir
    runs=${runs:-1}
    warmup=0
    results=${results:-$work/RESULTS.md}
else
    runs=${runs:-10}
    warmup=1
    results=${results:-$HERE/RESULTS.md}
    [ "$(id -u)" = 0 ] || die "the full benchmark mounts a tmpfs and an ext4 image: run it as root (or try --smoke)"
fi

# --- The programs ----------------------------------------------------------
if [ -z "$untree$pack$floor$pack_floor" ]; then
    say "building untree, untree-pack, bench-floor and bench-pack-floor in $build_dir"
    cmake -S "$REPO" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build_dir" -j2 --target untree untree-pack bench-floor bench-pack-floor >/dev/null
    untree=$build_dir/untree pack=$build_dir/pack/untree-pack floor=$build_dir/bench/bench-floor
    pack_floor=$build_dir/bench/bench-pack-floor
fi
for p in "$untree" "$pack" "$floor" "$pack_floor"; do
    [ -x "$p" ] || die "not an executable program: '$p' (give all of --untree, --pack, --floor and --pack-floor)"
done
untree=$(readlink -f "$untree") pack=$(readlink -f "$pack") floor=$(readlink -f "$floor")
pack_floor=$(readlink -f "$pack_floor")

# The peers. A missing one is left out of the tables, with a note.
gnu_tar= bsdtar=
if command -v tar >/dev/null && tar --version 2>/dev/null | head -1 | grep -q 'GNU tar'; then gnu_tar=$(command -v tar); fi
command -v bsdtar >/dev/null && bsdtar=$(command -v bsdtar)
[ -n "$gnu_tar" ] || say "GNU tar not found: left out"
[ -n "$bsdtar" ] || say "bsdtar not found (Debian package libarchive-tools): left out"
[ -n "$gnu_tar$bsdtar" ] || [ $smoke = 1 ] || die "no peer to compare with"
# The peers that verify a CRC of every file while they extract, as untree
# does: unzip of a `zip -0` archive and 7-Zip of a `7z -mx0` one.
unzip_tool= sevenzip=
if command -v zip >/dev/null && command -v unzip >/dev/null; then unzip_tool=$(command -v unzip); fi
sevenzip=$(command -v 7zz || command -v 7z || true)
[ -n "$unzip_tool" ] || say "zip or unzip not found (Debian packages zip, unzip): left out"
[ -n "$sevenzip" ] || say "7-Zip not found (Debian package 7zip): left out"
timer=; [ -x /usr/bin/time ] && timer=/usr/bin/time
tracer=$(command -v strace || true)
[ -n "$timer" ] || say "/usr/bin/time not found (Debian package time): no peak memory"
[ -n "$tracer" ] || say "strace not found: no system call counts"

# --- Load ------------------------------------------------------------------
load1() { cut -d' ' -f1 /proc/loadavg; }
if [ -n "$wait_load" ]; then
    waited=0
    while ! python3 -c "import sys; sys.exit(0 if float('$(load1)') < float('$wait_load') else 1)"; do
        [ $waited -ge 1800 ] && { say "load still $(load1) after 30 minutes: going on"; break; }
        [ $((waited % 300)) = 0 ] && say "load $(load1), waiting for it to fall below $wait_load"
        sleep 20
        waited=$((waited + 20))
    done
fi

# --- Scratch space, mounts, and leaving nothing behind ---------------------
mkdir -p "$work"
work=$(readlink -f "$work")
out=$work/results
rm -rf "$out"
mkdir -p "$out"
tmpfs_mount=/mnt/untree-bench-tmpfs
ext4_mount=/mnt/untree-bench-ext4
ext4_image=$work/ext4.img
mounted=
cleanup() {
    for m in $mounted; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; rmdir "$m" 2>/dev/null || true; done
    rm -f "$ext4_image"
    [ $smoke = 1 ] && rm -rf "$work/fs-dir"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Room for every archive of the selected trees and one extraction at a time.
fs_bytes=$((5 * 1024 * 1024 * 1024))
mount_fs() {  # name -> sets $base, the folder to work in
    case $1 in
    tmpfs)
        mkdir -p $tmpfs_mount
        mount -t tmpfs -o size=$fs_bytes untree-bench $tmpfs_mount
        mounted="$tmpfs_mount $mounted"
        base=$tmpfs_mount ;;
    ext4)
        local free
        free=$(df --output=avail -B1 "$work" | tail -1)
        [ "$free" -gt $((fs_bytes + 1024 * 1024 * 1024)) ] || die "not enough space in $work for a $((fs_bytes >> 30)) GiB ext4 image"
        rm -f "$ext4_image"
        truncate -s $fs_bytes "$ext4_image"
        # A journal, as mkfs.ext4 makes by default: without one the kernel
        # holds back recently freed inodes and every create after the
        # previous run's rm -rf gets several times slower.
        mkfs.ext4 -q -F -O has_journal "$ext4_image"
        mkdir -p $ext4_mount
        mount -o loop "$ext4_image" $ext4_mount
        mounted="$ext4_mount $mounted"
        base=$ext4_mount ;;
    dir)
        rm -rf "$work/fs-dir"
        mkdir -p "$work/fs-dir"
        base=$work/fs-dir ;;
    esac
}
unmount_fs() {
    case $1 in
    tmpfs) umount $tmpfs_mount; rmdir $tmpfs_mount; mounted=${mounted/$tmpfs_mount /} ;;
    ext4) umount $ext4_mount; rmdir $ext4_mount; mounted=${mounted/$ext4_mount /}; rm -f "$ext4_image" ;;
    dir) rm -rf "$work/fs-dir" ;;
    esac
}

# --- Source trees ----------------------------------------------------------
generate() {  # tree -> the tree in $work/src/<tree>, and <tree>.counts
    local tree=$1 dest=$work/src/$1 stamp
    stamp="$(sha256sum "$HERE/gen_trees.py" | cut -c1-16) $tree"
    if [ "$tree" = include ]; then stamp="$stamp $(find /usr/include -printf '%P %s %T@\n' | sha256sum | cut -c1-16)"; fi
    if [ -f "$dest.counts" ] && [ "$(head -1 "$dest.counts")" = "$stamp" ]; then return; fi
    say "generating the $tree tree"
    rm -rf "$dest" "$dest.counts"
    mkdir -p "$dest"
    local counts
    case $tree in
    small) counts=$(python3 "$HERE/gen_trees.py" small "$dest") ;;
    large) counts=$(python3 "$HERE/gen_trees.py" large "$dest") ;;
    include) counts=$(python3 "$HERE/gen_trees.py" copy /usr/include "$dest") ;;
    tiny)
        # A few of everything: nesting, empty files, a non-ASCII name, and
        # one file long enough for the in-kernel copy.
        local a b
        a=$(python3 "$HERE/gen_trees.py" small "$dest" --files 60 --dirs 8 --max-depth 4)
        b=$(python3 "$HERE/gen_trees.py" large "$dest" --count 1 --size $((2 * 1048576 + 1)))
        counts=$(python3 -c "
a = dict(x.split('=') for x in '$a'.split()); b = dict(x.split('=') for x in '$b'.split())
print(' '.join('%s=%d' % (k, int(a[k]) + int(b[k])) for k in a))") ;;
    esac
    printf '%s\n%s\n' "$stamp" "$counts" >"$dest.counts"
}

# --- One tree on one file system -------------------------------------------
q() { printf '%q' "$1"; }


# Ten timed runs of one command (after the warm-up), each after `prepare`,
# into a JSON file for report.py.
time_command() {  # prepare name json command
    hyperfine --style basic --output null --warmup $warmup --runs "$runs" \
        --prepare "$1" --command-name "$2" --export-json "$3" "$4" >&2
}

measure() {  # fs tree folder
    local fs=$1 tree=$2 base=$3 src=$work/src/$2
    local archive=$base/$tree.untree tarball=$base/$tree.tar dest=$base/dest
    local tag=$fs-$tree counts
    counts=$(sed -n 2p "$src.counts")
    say "$tree on $fs: packing"
    "$pack" "$src" "$archive" >/dev/null
    tar --sort=name -cf "$tarball" -C "$src" .
    local zipfile=$base/$tree.zip sevenfile=$base/$tree.7z
    rm -f "$zipfile" "$sevenfile"
    if [ -n "$unzip_tool" ]; then (cd "$src" && zip -0 -r -q -y "$zipfile" .); fi
    if [ -n "$sevenzip" ]; then (cd "$src" && "$sevenzip" a -mx0 -snl -bd -bso0 -bsp0 "$sevenfile" . >/dev/null); fi
    sync -f "$base"

    # name, command line, whether its times are kept to the 100 ns (2: only
    # the files' to the second)
    local names=() commands=() exact=()
    names+=(untree); commands+=("$(q "$untree") $(q "$archive") $(q "$dest")"); exact+=(1)
    if [ -n "$gnu_tar" ]; then names+=("GNU tar"); commands+=("$(q "$gnu_tar") -xf $(q "$tarball") -C $(q "$dest")"); exact+=(0); fi
    if [ -n "$bsdtar" ]; then names+=(bsdtar); commands+=("$(q "$bsdtar") -xf $(q "$tarball") -C $(q "$dest")"); exact+=(0); fi
    if [ -n "$unzip_tool" ]; then names+=(unzip); commands+=("$(q "$unzip_tool") -q $(q "$zipfile") -d $(q "$dest")"); exact+=(2); fi
    if [ -n "$sevenzip" ]; then names+=(7-Zip); commands+=("$(q "$sevenzip") x -bd -bso0 -bsp0 -y -o$(q "$dest") $(q "$sevenfile")"); exact+=(2); fi
    names+=(floor); commands+=("$(q "$floor") $(q "$archive") $(q "$dest")"); exact+=(1)

    local prepare="rm -rf $(q "$dest") && mkdir $(q "$dest") && sync -f $(q "$base")"
    local i
    printf '%s\n' "{\"fs\": \"$fs\", \"tree\": \"$tree\", \"counts\": \"$counts\", \"load_before\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.meta.json"
    for i in "${!names[@]}"; do
        say "$tree on $fs: timing ${names[$i]}"
        time_command "$prepare" "${names[$i]}" "$out/$tag.$i.json" "${commands[$i]}"
        # The last timed run left its tree: it must be the source's.
        local how=()
        [ "${exact[$i]}" = 1 ] && how=(--exact-times)
        [ "${exact[$i]}" = 2 ] && how=(--file-times-only)
        python3 "$HERE/gen_trees.py" compare "$src" "$dest" "${how[@]}" || die "${names[$i]} extracted a different tree"
    done
    printf '%s\n' "{\"load_after\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.load.json"

    if [ -n "$timer" ]; then
        eval "$prepare"
        "$timer" -v -o "$out/$tag.rss.txt" "$untree" "$archive" "$dest" >/dev/null
    fi
    if [ -n "$tracer" ]; then
        for i in "${!names[@]}"; do
            eval "$prepare"
            eval "$(q "$tracer") -f -c -o $(q "$out/$tag.$i.strace.txt") ${commands[$i]}" >/dev/null
        done
    fi
    rm -rf "$dest" "$archive" "$tarball"
}

# --- Extracting over an existing copy ----------------------------------------
# Every file of the tree stands in the destination already: untree and the
# tars replace each one by a new file. untree and the floor into an empty
# destination, timed beside them, show what that costs.
measure_over() {  # fs tree folder
    local fs=$1 tree=$2 base=$3 src=$work/src/$2
    local archive=$base/$tree.untree tarball=$base/$tree.tar dest=$base/dest
    local tag=over-$fs-$tree counts i
    counts=$(sed -n 2p "$src.counts")
    say "$tree on $fs: packing, to extract over an existing copy"
    "$pack" "$src" "$archive" >/dev/null
    tar --sort=name -cf "$tarball" -C "$src" .
    local fresh="rm -rf $(q "$dest") && mkdir $(q "$dest")"
    local copy="$fresh && $(q "$untree") $(q "$archive") $(q "$dest") >/dev/null && sync -f $(q "$base")"
    local names=() commands=() prepares=()
    names+=(untree); commands+=("$(q "$untree") $(q "$archive") $(q "$dest")"); prepares+=("$copy")
    if [ -n "$gnu_tar" ]; then names+=("GNU tar"); commands+=("$(q "$gnu_tar") -xf $(q "$tarball") -C $(q "$dest")"); prepares+=("$copy"); fi
    if [ -n "$bsdtar" ]; then names+=(bsdtar); commands+=("$(q "$bsdtar") -xf $(q "$tarball") -C $(q "$dest")"); prepares+=("$copy"); fi
    if [ -n "$untree_before" ]; then names+=("untree, earlier build"); commands+=("$(q "$untree_before") $(q "$archive") $(q "$dest")"); prepares+=("$copy"); fi
    names+=("untree, empty destination"); commands+=("${commands[0]}"); prepares+=("$fresh && sync -f $(q "$base")")
    names+=(floor); commands+=("$(q "$floor") $(q "$archive") $(q "$dest")"); prepares+=("$fresh && sync -f $(q "$base")")
    printf '%s\n' "{\"job\": \"over\", \"fs\": \"$fs\", \"tree\": \"$tree\", \"counts\": \"$counts\", \"load_before\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.meta.json"
    for i in "${!names[@]}"; do
        say "$tree on $fs: timing ${names[$i]} over an existing copy"
        time_command "${prepares[$i]}" "${names[$i]}" "$out/$tag.$i.json" "${commands[$i]}"
        python3 "$HERE/gen_trees.py" compare "$src" "$dest" --file-times-only $([[ ${names[$i]} == untree* ]] && echo --exact-times) ||
            die "${names[$i]} left a different tree over the existing copy"
    done
    printf '%s\n' "{\"load_after\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.load.json"
    if [ -n "$tracer" ]; then
        eval "$copy"
        eval "$(q "$tracer") -f -c -o $(q "$out/$tag.0.strace.txt") ${commands[0]}" >/dev/null
    fi
    rm -rf "$dest" "$archive" "$tarball"
}

# --- Packing one tree on one file system ------------------------------------
measure_pack() {  # fs tree folder
    local fs=$1 tree=$2 base=$3 src=$work/src/$2
    local copy=$base/pack-source archive=$base/packed tag=pack-$1-$2 counts
    counts=$(sed -n 2p "$src.counts")
    say "$tree on $fs: copying the source for packing"
    rm -rf "$copy" "$archive"
    cp -a "$src" "$copy"
    sync -f "$base"

    local names=() commands=() i
    names+=(untree-pack); commands+=("$(q "$pack") $(q "$copy") $(q "$archive")")
    if [ -n "$gnu_tar" ]; then names+=("GNU tar"); commands+=("$(q "$gnu_tar") -cf $(q "$archive") -C $(q "$copy") ."); fi
    if [ -n "$bsdtar" ]; then names+=(bsdtar); commands+=("$(q "$bsdtar") -cf $(q "$archive") -C $(q "$copy") ."); fi
    names+=(floor); commands+=("$(q "$pack_floor") $(q "$copy") $(q "$archive")")

    local prepare="rm -f $(q "$archive")"
    printf '%s\n' "{\"job\": \"pack\", \"fs\": \"$fs\", \"tree\": \"$tree\", \"counts\": \"$counts\", \"load_before\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.meta.json"
    for i in "${!names[@]}"; do
        say "$tree on $fs: timing ${names[$i]} packing"
        time_command "$prepare" "${names[$i]}" "$out/$tag.$i.json" "${commands[$i]}"
    done
    printf '%s\n' "{\"load_after\": \"$(cat /proc/loadavg)\"}" >"$out/$tag.load.json"

    # The floor writes the very archive untree-pack --plain writes (the
    # timed untree-pack also takes every checksum), and untree restores it.
    "$pack" --plain "$copy" "$archive.untree" || die "untree-pack did not pack the $tree tree whole"
    "$pack_floor" "$copy" "$archive" || die "the packing floor failed"
    cmp -s "$archive" "$archive.untree" || die "the packing floor's archive differs from untree-pack's"
    rm -f "$archive.untree"
    if [ -n "$tracer" ]; then
        for i in "${!names[@]}"; do
            eval "$prepare"
            eval "$(q "$tracer") -f -c -o $(q "$out/$tag.$i.strace.txt") ${commands[$i]}" >/dev/null
        done
    fi
    rm -rf "$copy" "$archive"
}

# --- The run ---------------------------------------------------------------
started="$(cat /proc/loadavg)"
for tree in $trees; do generate "$tree"; done
for fs in $filesystems; do
    mount_fs "$fs"
    case " $jobs " in *" extract "*) for tree in $trees; do measure "$fs" "$tree" "$base"; done ;; esac
    case " $jobs " in *" over "*) for tree in $trees; do measure_over "$fs" "$tree" "$base"; done ;; esac
    # Packing is timed where the file system itself costs least.
    if [ "$fs" != ext4 ] && [[ " $jobs " == *" pack "* ]]; then
        for tree in $trees; do measure_pack "$fs" "$tree" "$base"; done
    fi
    unmount_fs "$fs"
done

{
    echo "nproc: $(nproc)"
    echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
    echo "memory: $(free -g | awk '/^Mem:/ {print $2}') GiB"
    echo "kernel: $(uname -sr)"
    echo "system: $(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME")"
    echo "untree: $("$untree" --version 2>/dev/null | head -1)"
    echo "untree-pack: $("$pack" --version 2>/dev/null | head -1)"
    [ -n "$gnu_tar" ] && echo "GNU tar: $("$gnu_tar" --version | head -1)"
    [ -n "$bsdtar" ] && echo "bsdtar: $("$bsdtar" --version | head -1)"
    [ -n "$unzip_tool" ] && echo "unzip: $("$unzip_tool" -v | head -1)"
    [ -n "$sevenzip" ] && echo "7-Zip: $("$sevenzip" | sed -n 2p)"
    echo "hyperfine: $(hyperfine --version)"
    [ -n "$tracer" ] && echo "strace: $("$tracer" -V | head -1)"
    echo "load at start: $started"
    echo "load at end: $(cat /proc/loadavg)"
    echo "runs: $runs timed (after $warmup warm-up) per tool, tree and file system"
} >"$out/machine.txt"

python3 "$HERE/report.py" "$out" "$results" $([ $smoke = 1 ] && echo --smoke)
