#!/usr/bin/env bash
# Core benchmarks: SZDD decoding against libmspack and msexpand, and applying
# a ~30 MB archive against cp. Run after `cmake --build --preset native`.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD:-$here/build/native}/bench/core
work=$(mktemp -d /tmp/vnpatch-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
# ~30 MB of real, mixed data: executables and text from the system.
{ cat /usr/bin/* 2>/dev/null | head -c 20000000; cat /usr/share/doc/*/copyright 2>/dev/null; } |
    head -c 30000000 > "$work/stream.bin"
(cd "$work" && mscompress stream.bin)
"$bin/bench_szdd" "$work/stream.bin_" 5
"$bin/bench_apply" "$work/apply" 3
