#!/usr/bin/env bash
# A release over a game-sized tree: three versions of ~95 MB in ~1,900 files,
# made from files found on this machine (a seeded choice, so the same machine
# gives the same trees), then timed through scripts/release.sh.
#   bench/run_game_release.sh [WORKDIR]      (default build/bench-release)
# Needs the sample VRNL.exe files of the Windows build (built here if missing).
set -u
set -o pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-$root/build/bench-release}
demo=$root/build/windows/demo
fail() { echo "run_game_release: $*" >&2; exit 1; }
if [ ! -f "$demo/vrnl_1_1_0_3.exe" ]; then
    cmake --preset windows >/dev/null && cmake --build --preset windows -j "${JOBS:-2}" \
        --target vrnl_1_0_5_2 vrnl_1_1_0_0 vrnl_1_1_0_3 >/dev/null || fail "cannot build the sample VRNL.exe"
fi
rm -rf "$work"
mkdir -p "$work"
trees=$work/trees
RANDOM=1103
# The pool: regular files of 4 KB to 1 MB under /usr, in a seeded order.
find /usr/share /usr/lib -xdev -type f -size +4k -size -1024k -readable -printf '%s %p\n' 2>/dev/null |
    sort -k2 >"$work/pool.txt"
[ "$(wc -l <"$work/pool.txt")" -gt 4000 ] || fail "too few files under /usr for a game-sized tree"
awk -v seed=1103 'BEGIN { srand(seed) } { print rand() "\t" $0 }' "$work/pool.txt" | sort -k1,1 |
    cut -f2 >"$work/shuffled.txt"
folders=(CAR course MENUDATA/tex MENUDATA/font racetex sound replay/demo)
v10=$trees/1.0.5.2
total=0
count=0
spare=()
while read -r size path; do
    if [ "$count" -ge 1900 ] || [ $((total + size)) -gt 96000000 ]; then
        spare+=("$path")
        [ ${#spare[@]} -ge 200 ] && break
        continue
    fi
    folder=${folders[$((count % ${#folders[@]}))]}
    mkdir -p "$v10/$folder"
    cp "$path" "$(printf '%s/%s/data%04d.bin' "$v10" "$folder" "$count")" || continue
    total=$((total + size))
    count=$((count + 1))
done <"$work/shuffled.txt"
cp "$demo/vrnl_1_0_5_2.exe" "$v10/VRNL.exe"

# next FROM TO EXE: TO is FROM with 8% of its files changed in one place, 1%
# deleted and 20 new ones.
next_version() {
    local from=$1 to=$2 exe=$3 files i f size at
    cp -a "$from" "$to"
    mapfile -t files < <(cd "$to" && find . -type f -name 'data*.bin' | sort)
    for i in "${!files[@]}"; do
        f=$to/${files[$i]#./}
        if [ $((RANDOM % 100)) -lt 8 ]; then
            size=$(stat -c %s "$f")
            at=$(((RANDOM * 32768 + RANDOM) % size))
            # Drawn here, not inside the pipeline: its subshells reseed RANDOM.
            local length=$((512 + RANDOM % 8192)) piece=${spare[$((RANDOM % ${#spare[@]}))]}
            head -c "$length" "$piece" | dd of="$f" bs=1 seek="$at" conv=notrunc status=none
        elif [ $((RANDOM % 100)) -lt 1 ]; then
            rm -f "$f"
        fi
    done
    for i in $(seq 20); do
        cp "${spare[$((RANDOM % ${#spare[@]}))]}" "$(printf '%s/course/new%s_%02d.bin' "$to" "$(basename "$to")" "$i")"
    done
    cp "$exe" "$to/VRNL.exe"
}
next_version "$v10" "$trees/1.1.0.0" "$demo/vrnl_1_1_0_0.exe"
next_version "$trees/1.1.0.0" "$trees/1.1.0.3" "$demo/vrnl_1_1_0_3.exe"
for t in "$trees"/*; do
    echo "$(basename "$t"): $(find "$t" -type f | wc -l) files, $(du -sb "$t" | cut -f1) bytes"
done
start=$(date +%s)
bash "$root/scripts/release.sh" --old "$trees/1.0.5.2" --old "$trees/1.1.0.0" \
    --new "$trees/1.1.0.3" -o "$work/release" || fail "the release failed; see $work/release/report.md"
echo "release: $(($(date +%s) - start)) s; report in $work/release/report.md"
