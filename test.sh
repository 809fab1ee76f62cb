#!/usr/bin/env bash
# The test command. On a fresh Debian 12 machine (as root) it installs what is
# missing, then builds and tests three trees with warnings as errors:
#
#   build/       native, Release
#   build-win/   32-bit Windows (MinGW), tests under Wine
#   build-asan/  native with clang, AddressSanitizer + UndefinedBehaviorSanitizer,
#                plus the two fuzz targets, which then run for about a minute
#
# then checks the sources with clang-tidy (from the compile commands of the
# native and the Windows tree) and clang-format (tests/lint/run.py).
#
# Every stage runs even when an earlier one failed (a test stage is counted as
# failed when its build is); the last line counts them, and the exit status is
# non-zero when any failed.
#
#   ./test.sh                     everything
#   ./test.sh native fuzz         only these parts (setup always runs;
#                                 parts: native windows asan fuzz lint)
#   ./test.sh mutation            the mutation check (tests/mutation/), on
#                                 demand only: about 20 minutes on 2 cores
#
# Environment: UNTREE_JOBS (build jobs, default 2), UNTREE_FUZZ_SECONDS
# (default 60), UNTREE_BUILD_PREFIX (default "build": trees build, build-win,
# build-asan), UNTREE_TEST_TIMEOUT (seconds per test, default 1500).
set -euo pipefail

cd "$(dirname "$(readlink -f "$0")")"
ROOT=$(pwd)

JOBS=${UNTREE_JOBS:-2}
FUZZ_SECONDS=${UNTREE_FUZZ_SECONDS:-60}
PREFIX=${UNTREE_BUILD_PREFIX:-build}
TEST_TIMEOUT=${UNTREE_TEST_TIMEOUT:-1500}
NATIVE_DIR=$ROOT/$PREFIX
WIN_DIR=$ROOT/$PREFIX-win
ASAN_DIR=$ROOT/$PREFIX-asan

export DEBIAN_FRONTEND=noninteractive
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
export HOME
# Wine: quiet, and no dialogs offering to install Mono or Gecko.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine}

REQUIRED_PACKAGES=(
    cmake g++ python3 googletest            # the native build and its tests
    g++-mingw-w64-i686 wine wine32:i386     # the Windows build and its tests
    clang libclang-rt-14-dev                # sanitizers and libFuzzer
    hyperfine libarchive-tools strace time  # the benchmark's smoke run
    zip unzip 7zip                          # the benchmark's peers that verify CRCs
    groff man-db file lintian               # manual pages, packages
    fuse3 libfuse3-dev                      # untree-mount and its tests
    archivemount fuse-zip zip               # bench/mount.sh's comparison programs
    clang-tidy clang-format                 # the lint stages
)

ALL_PARTS=(native windows asan fuzz lint)
ON_DEMAND_PARTS=(mutation)
if (($#)); then
    PARTS=("$@")
    for part in "${PARTS[@]}"; do
        case " ${ALL_PARTS[*]} ${ON_DEMAND_PARTS[*]} " in
        *" $part "*) ;;
        *) echo "test.sh: unknown part '$part' (parts: ${ALL_PARTS[*]}; on demand: ${ON_DEMAND_PARTS[*]})" >&2; exit 64 ;;
        esac
    done
else
    PARTS=("${ALL_PARTS[@]}")
fi
wanted() { case " ${PARTS[*]} " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

# --- Stage bookkeeping ---------------------------------------------------

PASSED=0
FAILED=0
SUMMARY=()
declare -A OUTCOME

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

# stage NAME COMMAND...: runs the command in a subshell with errexit in force,
# records its outcome and time, and never stops the script. What the command
# writes to the file $STAGE_NOTES (the tests and cases that failed, say)
# goes into the summary under a stage that failed.
stage() {
    local name=$1
    shift
    echo
    echo "=== test.sh: $name"
    local start=$SECONDS rc line
    STAGE_NOTES=$(mktemp)
    set +e
    (set -e; "$@")
    rc=$?
    set -e
    local took=$((SECONDS - start))
    if ((rc == 0)); then
        PASSED=$((PASSED + 1))
        OUTCOME[$name]=ok
        SUMMARY+=("  ok    $(clock $took)  $name")
        echo "=== test.sh: $name: ok ($(clock $took))"
    else
        FAILED=$((FAILED + 1))
        OUTCOME[$name]=failed
        SUMMARY+=("  FAIL  $(clock $took)  $name (exit $rc)")
        while IFS= read -r line; do SUMMARY+=("          $line"); done <"$STAGE_NOTES"
        echo "=== test.sh: $name: FAILED with exit $rc ($(clock $took))"
    fi
    rm -f "$STAGE_NOTES"
}

# failed_tests LOG: from ctest's output, one line per test that failed, with
# the cases that failed inside it: the script suites' "FAILED  case" lines
# and GoogleTest's "[  FAILED  ] Suite.Case" lines (the first few).
failed_tests() {
    awk '
        / Test +#[0-9]+: / { current = $0; sub(/.*Test +#[0-9]+: /, "", current); sub(/ .*/, "", current) }
        /^FAILED +[^ ]/ { note(current, $2) }
        /^\[  FAILED  \] [A-Za-z_][A-Za-z0-9_\/]*\.[A-Za-z0-9_\/]+/ { note(current, $4) }
        /^The following tests FAILED:/ { listing = 1; next }
        listing && /^[\t ]+[0-9]+ - / {
            test = $3; status = $0; sub(/^[^(]*/, "", status)
            line = test " " status
            if (count[test]) {
                line = line ": " cases[test]
                if (count[test] > 6) line = line ", ... (" count[test] " in all)"
            }
            print line
        }
        function note(test, name) {
            if (seen[test, name]++) return
            if (++count[test] <= 6) cases[test] = cases[test] (count[test] > 1 ? ", " : "") name
        }
    ' "$1"
}

# A stage that cannot run because the one it needs failed still counts.
skipped() {
    local name=$1 because=$2
    FAILED=$((FAILED + 1))
    OUTCOME[$name]=failed
    SUMMARY+=("  FAIL  -:--  $name (not run: $because failed)")
    echo
    echo "=== test.sh: $name: not run, $because failed"
}

# --- Stages --------------------------------------------------------------

# apt-get update, and what to do when a mirror is caught mid-sync: apt then
# refuses an index whose size or hash differs from the signed Release file
# ("Mirror sync in progress?") and goes on without it. Without the i386
# security index, wine32 cannot be installed at all (its libraries must match
# the amd64 ones, which come from that suite), so a fresh machine could not
# build the Windows tree. Try again a few times; if the mirror still serves
# that index unmatched, take it as served, loudly: it only lists packages of
# the same archive, and each package is still checked against it.
update_package_lists() {
    local try log=/tmp/untree-apt-update.$$ url list
    for try in 1 2 3; do
        apt-get update -q 2>&1 | tee "$log" || true
        grep -q 'File has unexpected size\|Hash Sum mismatch' "$log" || { rm -f "$log"; return 0; }
        ((try < 3)) && sleep 20
    done
    grep -o 'Failed to fetch [^ ]*Packages\.xz' "$log" | cut -d' ' -f4 | sort -u |
        while read -r url; do
            list=/var/lib/apt/lists/$(printf '%s' "${url#*://}" | sed 's|\.xz$||; s|/|_|g')
            echo "test.sh: WARNING: $url still does not match its Release file; using it as served" >&2
            python3 -c 'import lzma, sys, urllib.request; sys.stdout.buffer.write(lzma.decompress(urllib.request.urlopen(sys.argv[1], timeout=60).read()))' \
                "$url" > "$list.tmp" && mv "$list.tmp" "$list" || rm -f "$list.tmp"
        done
    rm -f "$log"
}

install_packages() {
    local missing=() package status
    for package in "${REQUIRED_PACKAGES[@]}"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] || missing+=("$package")
    done
    if ((${#missing[@]} == 0)); then
        echo "all ${#REQUIRED_PACKAGES[@]} packages present"
    else
        echo "installing: ${missing[*]}"
        if [[ $(id -u) != 0 ]]; then
            echo "test.sh: packages are missing and only root can install them" >&2
            return 1
        fi
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
        update_package_lists
        apt-get install -y -q "${missing[@]}"
    fi
    cmake --version | sed -n 1p
    g++ --version | sed -n 1p
    i686-w64-mingw32-g++-posix --version | sed -n 1p
    clang --version | sed -n 1p
    echo "wine $(wine --version)"
}

init_wine() {
    if [[ -f $WINEPREFIX/system.reg ]]; then
        echo "Wine prefix $WINEPREFIX present"
    else
        echo "creating Wine prefix $WINEPREFIX"
        timeout 600 wineboot -i </dev/null
        wineserver -w
    fi
    # Proof that a console program runs, before any test depends on it.
    local said
    said=$(timeout 300 wine cmd.exe /c echo wine-ok </dev/null | tr -d '\r')
    [[ $said == wine-ok ]] || { echo "wine cmd.exe printed '$said'" >&2; return 1; }
}

configure_and_build() {
    local dir=$1 rc=0
    shift
    mkdir -p "$dir"
    { cmake -S "$ROOT" -B "$dir" -DUNTREE_WERROR=ON -DUNTREE_TESTS=ON "$@" &&
        cmake --build "$dir" -j "$JOBS"; } 2>&1 | tee "$dir/build-output.log" || rc=$?
    # The first errors, which the summary shows.
    ((rc == 0)) || grep -m 3 -E ': (fatal )?error|CMake Error' "$dir/build-output.log" | cut -c1-160 >"$STAGE_NOTES" || true
    return $rc
}

run_ctest() {
    local dir=$1 rc=0
    (cd "$dir" && ctest --output-on-failure --timeout "$TEST_TIMEOUT") 2>&1 | tee "$dir/ctest-output.log" || rc=$?
    ((rc == 0)) || failed_tests "$dir/ctest-output.log" >"$STAGE_NOTES"
    return $rc
}

build_asan() {
    # A tree first configured with another compiler cannot switch in place.
    if [[ -f $ASAN_DIR/CMakeCache.txt ]] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$ASAN_DIR/CMakeCache.txt"; then
        rm -rf "$ASAN_DIR"
    fi
    configure_and_build "$ASAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DUNTREE_SANITIZE=address,undefined -DUNTREE_FUZZ=ON
    local target
    for target in fuzz_extract fuzz_extract_populated fuzz_list fuzz_agree; do
        [[ -x $ASAN_DIR/fuzz/$target ]] || { echo "the fuzz target $target was not built" >&2; return 1; }
    done
}

test_asan() {
    # Tests that cannot hold under the sanitizers (memory ceilings, system
    # call counts, runs under ptrace) can ask UNTREE_SANITIZED and step aside.
    export UNTREE_SANITIZED=address,undefined
    export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_ctest "$ASAN_DIR"
}

# fuzz_target TARGET SECONDS: grows a copy of the seeds with one target.
fuzz_target() {
    local target=$1 seconds=$2
    local work=$ROOT/fuzz/corpus-work/$target artifacts=$ASAN_DIR/fuzz-artifacts/$target scratch rc=0
    # The seeds stay as checked in; the fuzzer grows a copy of them.
    rm -rf "$work"
    mkdir -p "$work" "$artifacts"
    cp "$ROOT"/fuzz/corpus/*.tree "$work"/
    touch "$artifacts/.run-started"
    if [[ -d /dev/shm && -w /dev/shm ]]; then
        scratch=$(mktemp -d /dev/shm/untree-fuzz-run.XXXXXX)
    else
        scratch=$(mktemp -d)
    fi
    echo "$target: fuzzing for ${seconds}s over $(find "$work" -type f | wc -l) seeds; scratch $scratch"
    UNTREE_FUZZ_SCRATCH=$scratch timeout $((seconds + 600)) \
        "$ASAN_DIR/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -timeout=30 \
        -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" || rc=$?
    if ((rc != 0)); then
        echo "$target stopped with exit $rc; inputs it kept:" >&2
        find "$artifacts" -type f -newer "$artifacts/.run-started" -exec ls -l {} + >&2 || true
        # Once more with the extractor's own reports, which the run silenced.
        local first
        first=$(find "$artifacts" -type f -newer "$artifacts/.run-started" | head -n 1)
        if [[ -n $first ]]; then
            echo "replaying $first:" >&2
            UNTREE_FUZZ_SCRATCH=$scratch "$ASAN_DIR/fuzz/$target" "$first" 2>&1 |
                grep -av '^    #' | head -n 40 >&2 || true
        fi
        echo "replay with: $ASAN_DIR/fuzz/$target <input>" >&2
        echo "$target: exit $rc, inputs kept in $artifacts" >>"$STAGE_NOTES"
    fi
    rm -rf "$scratch"
    return $rc
}

run_fuzzer() {
    # The extractor into an empty destination, and into one that already
    # holds links, a second name, a FIFO, a read-only file and the archive;
    # untree-list in every mode; and untree-list --check against untree.
    local quarter=$((FUZZ_SECONDS / 4)) rc=0
    fuzz_target fuzz_extract $((FUZZ_SECONDS - 3 * quarter)) || rc=$?
    fuzz_target fuzz_extract_populated "$quarter" || rc=$?
    fuzz_target fuzz_list "$quarter" || rc=$?
    fuzz_target fuzz_agree "$quarter" || rc=$?
    return $rc
}

# The lint stages need the compile commands of both trees, which
# configuring writes (CMAKE_EXPORT_COMPILE_COMMANDS): nothing is built.
configure_for_lint() {
    cmake -S "$ROOT" -B "$NATIVE_DIR" -DUNTREE_WERROR=ON -DUNTREE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake -S "$ROOT" -B "$WIN_DIR" -DUNTREE_WERROR=ON -DUNTREE_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
}

# lint WHAT: tests/lint/run.py's check; its FAILED lines (the first few)
# go into the summary.
lint() {
    local what=$1 rc=0 log
    log=$(mktemp)
    python3 "$ROOT/tests/lint/run.py" "$what" --build "$NATIVE_DIR" --windows-build "$WIN_DIR" --jobs "$JOBS" 2>&1 |
        tee "$log" || rc=$?
    if ((rc != 0)); then
        local count
        count=$(grep -c '^FAILED  ' "$log" || true)
        grep '^FAILED  ' "$log" | head -n 8 | sed 's/^FAILED  //' | cut -c1-200 >"$STAGE_NOTES" || true
        ((count <= 8)) || echo "... ($count in all)" >>"$STAGE_NOTES"
    fi
    rm -f "$log"
    return $rc
}

# --- The run -------------------------------------------------------------

STARTED=$SECONDS
stage "setup: packages" install_packages
if wanted windows; then stage "setup: wine prefix" init_wine; fi

if wanted native; then
    stage "native: build" configure_and_build "$NATIVE_DIR" -DCMAKE_BUILD_TYPE=Release
    if [[ ${OUTCOME["native: build"]} == ok ]]; then stage "native: ctest" run_ctest "$NATIVE_DIR"
    else skipped "native: ctest" "native: build"; fi
fi

if wanted windows; then
    stage "windows: build" configure_and_build "$WIN_DIR" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"
    if [[ ${OUTCOME["windows: build"]} == ok && ${OUTCOME["setup: wine prefix"]} == ok ]]; then
        stage "windows: ctest (wine)" run_ctest "$WIN_DIR"
    elif [[ ${OUTCOME["windows: build"]} != ok ]]; then skipped "windows: ctest (wine)" "windows: build"
    else skipped "windows: ctest (wine)" "setup: wine prefix"; fi
fi

if wanted asan || wanted fuzz; then
    stage "asan: build (with fuzz target)" build_asan
    if [[ ${OUTCOME["asan: build (with fuzz target)"]} == ok ]]; then
        if wanted asan; then stage "asan: ctest" test_asan; fi
        if wanted fuzz; then stage "fuzz: ${FUZZ_SECONDS}s run" run_fuzzer; fi
    else
        if wanted asan; then skipped "asan: ctest" "asan: build"; fi
        if wanted fuzz; then skipped "fuzz: ${FUZZ_SECONDS}s run" "asan: build"; fi
    fi
fi

if wanted lint; then
    stage "lint: configure" configure_for_lint
    if [[ ${OUTCOME["lint: configure"]} == ok ]]; then stage "lint: clang-tidy" lint tidy
    else skipped "lint: clang-tidy" "lint: configure"; fi
    stage "lint: clang-format" lint format
fi

if wanted mutation; then
    stage "mutation: check" python3 "$ROOT/tests/mutation/run.py" --jobs "$JOBS"
fi

echo
echo "=== test.sh: summary ($(clock $((SECONDS - STARTED))) in all)"
printf '%s\n' "${SUMMARY[@]}"
echo "test.sh: $PASSED passed, $FAILED failed"
((FAILED == 0))
