#!/usr/bin/env bash
# Bounded fuzz run: builds the fuzz preset (clang, libFuzzer, ASan, UBSan) in
# build/fuzz, replays fuzz/regressions/<target>/, then runs each target from
# its seed corpus for FUZZ_SECONDS seconds (default 60). Fails on any crash,
# sanitizer report, timeout, memory blow-up or broken invariant, and prints
# the failing input in hex. A failing input is kept by copying it, under a
# name that says what it broke, to fuzz/regressions/<target>/, which the
# reliability tests replay as well.
#   bash scripts/fuzz.sh            the bounded run
#   bash scripts/fuzz.sh --seeds    rewrite fuzz/corpus/ from the generator
# FUZZ_TARGETS="szdd record" limits the targets.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-szdd archive record stamp}
jobs=${JOBS:-$(nproc)}
build=build/fuzz
case "$seconds" in
'' | *[!0-9]*)
    echo "FUZZ_SECONDS must be a whole number of seconds, not '$seconds'"
    exit 2
    ;;
esac

mkdir -p build
if ! cmake --preset fuzz >build/fuzz.configure.log 2>&1; then
    cat build/fuzz.configure.log
    exit 1
fi
fuzzers=()
for target in $targets; do fuzzers+=("fuzz_$target"); done
if ! cmake --build "$build" -j "$jobs" --target "${fuzzers[@]}" fuzz_make_seeds; then
    exit 1
fi

if [ "${1:-}" = "--seeds" ]; then
    # Records, archives and updaters from the generator; SZDD files from
    # mscompress.
    corpus=fuzz/corpus
    rm -rf "$corpus" && mkdir -p "$corpus"/{record,archive,szdd,stamp}
    "$build/fuzz/fuzz_make_seeds" "$corpus" || exit 1
    tmp=$(mktemp -d)
    cp "$corpus/szdd/plain_text" "$tmp/text"
    for i in $(seq 1 40); do
        printf 'line %03d of the varnelo seed, aaaaaaaaaaaaaaaaaaaa\n' "$i"
    done >"$tmp/mixed"
    head -c 600 /dev/urandom >>"$tmp/mixed"
    cp "$corpus/archive/all_ops" "$tmp/arch"
    (cd "$tmp" && mscompress text mixed arch) || exit 1
    cp "$tmp/text_" "$corpus/szdd/text_szdd"
    cp "$tmp/mixed_" "$corpus/szdd/mixed_szdd"
    cp "$tmp/arch_" "$corpus/archive/all_ops_szdd"
    cp "$tmp/arch_" "$corpus/szdd/archive_szdd"
    rm -rf "$tmp"
    ls -l "$corpus"/*
    exit 0
fi

# Runs one fuzzer process with the rest of the arguments, output to log $1;
# its exit code. The scratch tree of a process that crashed (named after its
# pid, and removed at exit otherwise) goes too.
running=""
trap '[ -z "$running" ] || kill "$running" 2>/dev/null; exit 130' INT TERM
run_fuzzer() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    running=$!
    wait "$running"
    local rc=$?
    rm -rf "/dev/shm/varnelo-scratch-$running" "/tmp/varnelo-scratch-$running"
    running=""
    return "$rc"
}

# The inputs a failed run left, in hex, so that a CI log alone reproduces them.
show_artifacts() {
    local file
    for file in "$1"/*; do
        [ -f "$file" ] || continue
        echo "--- $file ($(wc -c <"$file") bytes):"
        od -An -tx1 -v "$file" | head -n 64
    done
}

failed=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
for target in $targets; do
    binary=$build/fuzz/fuzz_$target
    work=$build/run/$target
    artifacts=$build/artifacts/$target
    rm -rf "$work" "$artifacts" && mkdir -p "$work" "$artifacts"
    log=$build/run/$target.log
    regressions=fuzz/regressions/$target
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
        if ! run_fuzzer "$log.regressions" "$binary" -runs=1 "$regressions"/*; then
            echo "fuzz $target: a regression input fails again"
            grep -E '^Running:|ERROR|SUMMARY|^record:|^archive:|^szdd:|^stamp:' "$log.regressions" |
                tail -n 30
            failed=1
            continue
        fi
        echo "fuzz $target: $(ls -A "$regressions" | wc -l) regression inputs pass"
    fi
    # New units go to the work directory; the seed corpus stays as it is.
    run_fuzzer "$log" "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target"
    rc=$?
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
    if [ "$rc" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
        echo "fuzz $target: FAILED (exit $rc) after ${runs:-?} runs; log $log, artifacts in $artifacts"
        grep -E 'ERROR|SUMMARY|^record:|^archive:|^szdd:|^stamp:|Test unit written' "$log" | head -n 20
        show_artifacts "$artifacts"
        failed=1
    else
        echo "fuzz $target: ${runs:-?} runs in ${seconds} s, no finding"
    fi
done
exit "$failed"
