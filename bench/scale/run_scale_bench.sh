#!/usr/bin/env bash
# A game-sized release (bench/scale/make_release.py: ~95 MB, ~1,900 files
# from this machine, two older versions, seeded): vnpatch build's time and
# peak memory, the archive's size before and after SZDD, and the time of
# applying it to a copy of each older tree. Not part of the test run.
#
#   bash bench/scale/run_scale_bench.sh          (after cmake --build --preset native)
#   VNPATCH=/path/to/other/vnpatch bash bench/scale/run_scale_bench.sh
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
vnpatch=${VNPATCH:-$here/build/native/tools/vnpatch/vnpatch}
work=${WORK:-/tmp/vnpatch-scale-bench}
seed=${SEED:-1}
[ -d "$work/new" ] || python3 "$here/bench/scale/make_release.py" "$work" "$seed"
echo "new tree: $(find "$work/new" -type f | wc -l) files, $(du -sb "$work/new" | cut -f1) bytes"

measure() { # label command...: wall seconds and peak RSS from /usr/bin/time
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null
    read -r seconds kib <"$work/time.txt"
    echo "$2: $seconds s, peak $((kib / 1024)) MiB"
}
rm -f "$work/patch.cf" "$work/patch.szdd"
measure "$vnpatch" build --old "$work/old1" --old "$work/old2" --new "$work/new" -o "$work/patch.cf"
measure "$vnpatch" compress "$work/patch.cf" "$work/patch.szdd"
records=$("$vnpatch" inspect "$work/patch.cf" | grep -c '\.pat' || true)
echo "archive: $records records, $(stat -c %s "$work/patch.cf") bytes, SZDD $(stat -c %s "$work/patch.szdd") bytes"
rm -rf "$work/apply"
cp -r "$work/old1" "$work/apply"
measure "$vnpatch" apply "$work/patch.szdd" "$work/apply"
rm -rf "$work/apply"
