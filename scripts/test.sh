#!/usr/bin/env bash
# The whole test suite: native tests, the same under ASan/UBSan, the
# Windows binaries (core tests, tools, updater) under Wine in a fresh prefix,
# and a short fuzz run (FUZZ_SECONDS per target, default 15 here; the fuzz
# script alone runs longer).
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-15}

# The builds share what they would otherwise make again: compiler output
# through ccache (the Windows build compiles its host tools natively, and the
# release tests build vnpatch and the updater in their own folders) and the
# SZDD fixtures, which mscompress is slow to make.
export VARNELO_FIXTURE_CACHE=${VARNELO_FIXTURE_CACHE:-$PWD/build/fixtures}
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
passed=0
failed=0
skipped=0
summary=()

run_preset() {
    local preset=$1
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" >"build/$preset.configure.log" 2>&1; then
        cat "build/$preset.configure.log"
        failed=$((failed + 1)); summary+=("$preset: configure failed"); return
    fi
    if ! cmake --build --preset "$preset" -j "$jobs"; then
        failed=$((failed + 1)); summary+=("$preset: build failed"); return
    fi
    echo "=== $preset: tests"
    local log="build/$preset.ctest.log"
    local code
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
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
            passed=$((passed + total - bad)); failed=$((failed + (bad > 0 ? bad : 1)))
            summary+=("$preset: $((total - bad)) of $total passed; ctest exited with $code")
        else
            failed=$((failed + 1)); summary+=("$preset: ctest exited with $code, no test summary")
        fi
    elif [ -z "$line" ]; then
        failed=$((failed + 1)); summary+=("$preset: no test summary")
    else
        passed=$((passed + total - bad - skip)); failed=$((failed + bad))
        skipped=$((skipped + skip))
        if [ "$skip" -gt 0 ]; then
            summary+=("$preset: $((total - bad - skip)) of $total passed, $skip skipped" \
                "($(bash cmake/wine-loader.sh 2>&1 >/dev/null | sed 's/^wine-loader: //'))")
        else
            summary+=("$preset: $((total - bad)) of $total passed")
        fi
    fi
}

mkdir -p build
run_preset native
run_preset native-asan
# A fresh Wine prefix for every run of the Windows tests.
rm -rf build/windows/wineprefix build/windows/wineprefix.lock
run_preset windows
# Where this machine's kernel cannot run 32-bit programs, Wine cannot run the
# i686 build, whose Wine tests were skipped above: the same tests then run on
# a 64-bit build of the same sources under 64-bit Wine.
if bash cmake/wine-loader.sh >/dev/null 2>&1; [ $? -eq 77 ]; then
    rm -rf build/windows64/wineprefix build/windows64/wineprefix.lock
    run_preset windows64
fi

# A short bounded fuzz run of every libFuzzer target.
if [ -f scripts/fuzz.sh ]; then
    echo "=== fuzz (${fuzz_seconds} s per target)"
    if FUZZ_SECONDS=$fuzz_seconds bash scripts/fuzz.sh; then
        passed=$((passed + 1)); summary+=("fuzz: passed")
    else
        failed=$((failed + 1)); summary+=("fuzz: failed")
    fi
fi

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "${passed} passed, ${failed} failed, ${skipped} skipped"
[ "$failed" -eq 0 ]
