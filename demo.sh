#!/usr/bin/env bash
# A first look: builds untree, untree-pack and untree-list, packs a small
# generated folder into sample.tree, lists and checks it, extracts it into
# another folder and shows what came out. Everything happens under
# build/demo/; run it again at will.
set -euo pipefail

cd "$(dirname "$(readlink -f "$0")")"
ROOT=$(pwd)
BUILD=$ROOT/${UNTREE_BUILD_PREFIX:-build}
DEMO=$BUILD/demo
export DEBIAN_FRONTEND=noninteractive

if [[ -t 1 ]]; then
    say() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
    say() { printf '\n== %s\n' "$*"; }
fi
show() { printf '$ %s\n' "$*"; "$@"; }

# --- What the native build needs ----------------------------------------
missing=()
for package in cmake g++ python3 googletest; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
if ((${#missing[@]})); then
    say "Installing ${missing[*]}"
    if [[ $(id -u) != 0 ]]; then
        echo "demo.sh: run as root, or install these first: ${missing[*]}" >&2
        exit 1
    fi
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
fi

# --- Build -----------------------------------------------------------------
say "Building untree, untree-pack and untree-list in ${BUILD#"$ROOT"/}/"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=$(cmake --build "$BUILD" --target help)
for target in untree-pack untree-list; do
    if ! grep -qw "$target" <<<"$targets"; then
        echo "demo.sh: this checkout has no $target target yet" >&2
        exit 1
    fi
done
cmake --build "$BUILD" -j 2 --target untree untree-pack untree-list
# Each program lives in the build folder of its part of the source.
UNTREE=$BUILD/untree
PACK=$BUILD/pack/untree-pack
LIST=$BUILD/list/untree-list
for program in "$UNTREE" "$PACK" "$LIST"; do
    [[ -x $program ]] || { echo "demo.sh: built, but $program is not there" >&2; exit 1; }
done
say "The programs"
printf '%-12s %s\n' untree "$UNTREE" untree-pack "$PACK" untree-list "$LIST"
PATH=$BUILD:$BUILD/pack:$BUILD/list:$PATH

# --- A sample folder --------------------------------------------------------
rm -rf "$DEMO"
mkdir -p "$DEMO"
cd "$DEMO"
mkdir -p sample/docs/notes/empty sample/photos sample/data
printf 'A sample tree for the untree demo.\n' >sample/README.txt
printf 'Pack a folder with untree-pack, extract it with untree.\n' >sample/docs/guide.txt
printf 'Monday: try it out.\n' >sample/docs/notes/monday.txt
printf 'Non-ASCII names travel too.\n' >"sample/photos/café crème.txt"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(i * 7 % 256 for i in range(200000)))' >sample/data/numbers.bin
: >sample/data/empty-file
printf 'Do not edit.\n' >sample/data/read-only.txt
chmod a-w sample/data/read-only.txt
# Fixed times, so the restored ones are easy to recognise below.
find sample -exec touch -h -d '2024-05-01 12:34:56' {} +

say "The sample folder"
find sample | sort

say "Pack it"
show untree-pack sample sample.tree
ls -l sample.tree

say "List it, and check it, without extracting anything"
show untree-list sample.tree
show untree-list --check sample.tree

say "Extract it (the destination must exist)"
mkdir extracted
set +e
show untree sample.tree extracted
status=$?
set -e
echo "(exit status $status)"

say "What came out: kind, size, last write time, permissions, path"
(cd extracted && find . -mindepth 1 -printf '%y %8s  %TY-%Tm-%Td %TH:%TM  %M  %P\n' | sort -k6)

say "Compared with the sample"
if diff -r sample extracted; then
    echo "identical contents"
else
    echo "demo.sh: the extracted tree differs from the sample" >&2
    exit 1
fi
echo
echo "Try it yourself: $UNTREE $DEMO/sample.tree <existing folder>"
echo "                 $LIST $DEMO/sample.tree"
echo "                 $PACK <folder> <new archive>"
exit "$status"
