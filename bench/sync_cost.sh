#!/bin/bash
# What putting the archive on the disk costs untree-pack on ext4: the same
# trees packed into a fresh, loop-mounted ext4 image by this packer (which
# flushes the archive and its directory before it exits) and by one that
# does not (a build from before that change), one after the other in one
# hyperfine run, so that the ratio is taken under one load.
#
#   sudo bench/sync_cost.sh --pack build/pack/untree-pack --baseline OLD/untree-pack [--runs N]
#
# Run it alone: flock /tmp/untree-bench.lock bench/sync_cost.sh ...
set -euo pipefail

pack= baseline= runs=10
while [ $# -gt 0 ]; do
    case $1 in
    --pack) pack=$(readlink -f "$2"); shift ;;
    --baseline) baseline=$(readlink -f "$2"); shift ;;
    --runs) runs=$2; shift ;;
    *) echo "sync_cost.sh: unknown argument: $1" >&2; exit 1 ;;
    esac
    shift
done
[ -x "$pack" ] && [ -x "$baseline" ] || { echo "sync_cost.sh: give --pack and --baseline" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "sync_cost.sh: mounts an ext4 image: run it as root" >&2; exit 1; }
here=$(dirname "$(readlink -f "$0")")
work=$(mktemp -d /var/tmp/untree-sync-cost.XXXXXX)
mnt=$work/mnt
cleanup() { umount "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
truncate -s 4G "$work/ext4.img"
mkfs.ext4 -q -F -O has_journal "$work/ext4.img"
mkdir "$mnt"
mount -o loop "$work/ext4.img" "$mnt"
python3 "$here/gen_trees.py" small "$mnt/small" >/dev/null
python3 "$here/gen_trees.py" large "$mnt/large" --count 2 >/dev/null
sync -f "$mnt"
for tree in small large; do
    echo "== $tree tree, archive on ext4, $runs runs each"
    hyperfine --style basic --output null --warmup 1 --runs "$runs" \
        --prepare "rm -f $mnt/$tree.tree && sync -f $mnt" \
        -n flushed "$pack $mnt/$tree $mnt/$tree.tree" \
        -n unflushed "$baseline $mnt/$tree $mnt/$tree.tree"
done
