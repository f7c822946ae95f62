#!/usr/bin/env bash
# The whole test suite: native tests, the same under ASan/UBSan, the
# Windows binaries (core tests, tools, updater) under Wine in fresh prefixes,
# and a short fuzz run (FUZZ_SECONDS per target, default 15 here; the fuzz
# script alone runs longer). The Windows builds and their tests run beside
# the native steps once the native build is done.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-15}

# The builds share what they would otherwise make again: compiler output
# through ccache (the release tests build the updater in their own folder)
# and the SZDD fixtures, which mscompress is slow to make.
export VARNELO_FIXTURE_CACHE=${VARNELO_FIXTURE_CACHE:-$PWD/build/fixtures}
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
    # The compiler's own dependency lists rather than a second pass of the
    # preprocessor: a cache that starts empty costs half as much.
    export CCACHE_DEPEND=${CCACHE_DEPEND:-1}
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
mkdir -p build
rm -f build/*.result

# Each step writes its counts to build/STEP.result ("passed failed skipped",
# then its summary lines), so that steps run in the background count too.
# record STEP PASSED FAILED SKIPPED SUMMARY...
record() {
    local step=$1 p=$2 f=$3 k=$4
    shift 4
    { echo "$p $f $k"; printf '%s\n' "$@"; } >"build/$step.result"
}

# build_preset PRESET [configure options]: false (and recorded) on failure.
build_preset() {
    local preset=$1
    shift
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" "$@" >"build/$preset.configure.log" 2>&1; then
        cat "build/$preset.configure.log"
        record "$preset" 0 1 0 "$preset: configure failed"; return 1
    fi
    if ! cmake --build --preset "$preset" -j "$jobs"; then
        record "$preset" 0 1 0 "$preset: build failed"; return 1
    fi
}

# test_preset PRESET [ctest options]: runs its tests and records the counts;
# ctest runs under the caller's test_runner command, when it sets one.
test_runner=()
test_preset() {
    local preset=$1
    shift
    echo "=== $preset: tests"
    local log="build/$preset.ctest.log"
    local code
    "${test_runner[@]}" ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
    code=${PIPESTATUS[0]}
    # The verdict is ctest's exit code; the summary line only gives counts.
    local line total bad skip
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    # Tests that cannot run on this machine (exit 77) are listed as skipped,
    # with the reason in their output; they count as neither.
    skip=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log")
    if [ -n "$line" ]; then
        bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    fi
    if [ "$code" -ne 0 ]; then
        if [ -n "$line" ]; then
            record "$preset" $((total - bad)) $((bad > 0 ? bad : 1)) 0 \
                "$preset: $((total - bad)) of $total passed; ctest exited with $code"
        else
            record "$preset" 0 1 0 "$preset: ctest exited with $code, no test summary"
        fi
    elif [ -z "$line" ]; then
        record "$preset" 0 1 0 "$preset: no test summary"
    elif [ "$skip" -gt 0 ]; then
        record "$preset" $((total - bad - skip)) "$bad" "$skip" \
            "$preset: $((total - bad - skip)) of $total passed, $skip skipped (the reasons are in $log)"
    else
        record "$preset" $((total - bad)) "$bad" 0 "$preset: $((total - bad)) of $total passed"
    fi
}

# Which i386 lane runs the 32-bit Windows tests here: native where the
# kernel runs 32-bit programs, emulated by qemu-user where it does not.
i386_lane=$(bash cmake/i386-lane.sh bash -c 'echo "$VARNELO_I386_LANE"' 2>build/i386-lane.err) ||
    i386_lane="none ($(paste -sd ' ' build/i386-lane.err))"

# The Windows builds run the build machine's tools (the demo generator,
# vnpatch) from the native build rather than compiling them again.
host=(-DVARNELO_HOST_BUILD="$PWD/build/native")

# The i686 build, the one that ships, and all its tests under Wine in fresh
# prefixes, in the i386 lane (one namespace for the whole run where it is
# emulated; each test enters it by itself when run alone).
windows_lane() {
    rm -rf build/windows/wineprefix*
    build_preset windows "${host[@]}" || return
    local test_runner=(bash cmake/i386-lane.sh)
    test_preset windows
    local counts line
    { read -r counts; read -r line; } <build/windows.result
    # shellcheck disable=SC2086 # three counts
    record windows $counts "$line (i386 lane: $i386_lane)"
}

fuzz_step() {
    [ -f scripts/fuzz.sh ] || return 0
    echo "=== fuzz (${fuzz_seconds} s per target)"
    if FUZZ_SECONDS=$fuzz_seconds bash scripts/fuzz.sh; then
        record fuzz 1 0 0 "fuzz: passed"
    else
        record fuzz 0 1 0 "fuzz: failed"
    fi
}

# Two lanes once the native build (which the Windows builds take their host
# tools from) is done: the Windows builds and their Wine tests go in the
# background beside the native tests, the sanitized build and its tests, and
# the fuzz run. The background lane's output is shown when it ends.
lane_pid=""
trap '[ -z "$lane_pid" ] || kill -- -"$lane_pid" 2>/dev/null; exit 130' INT TERM
if build_preset native; then
    set -m
    windows_lane >build/windows-lane.log 2>&1 &
    lane_pid=$!
    set +m
    test_preset native
else
    windows_lane
fi
build_preset native-asan && test_preset native-asan
fuzz_step
if [ -n "$lane_pid" ]; then
    echo "=== waiting for the Windows builds and tests (build/windows-lane.log)"
    wait "$lane_pid"
    lane_pid=""
    cat build/windows-lane.log
fi

passed=0
failed=0
skipped=0
summary=()
steps=(native native-asan windows)
[ ! -f scripts/fuzz.sh ] || steps+=(fuzz)
for step in "${steps[@]}"; do
    # A step that ended without its counts (killed, or a fault in this
    # script) is a failure, never a silent gap.
    [ -f "build/$step.result" ] || record "$step" 0 1 0 "$step: ended without a result"
    read -r p f k <"build/$step.result"
    passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + k))
    mapfile -t -s 1 lines <"build/$step.result"
    summary+=("${lines[@]}")
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "${passed} passed, ${failed} failed, ${skipped} skipped"
[ "$failed" -eq 0 ]
