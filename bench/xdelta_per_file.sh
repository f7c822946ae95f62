#!/usr/bin/env bash
# What xdelta3 -9 needs, file by file, to bring an older tree to the new one:
# changed files as deltas against their old version, new files compressed on
# their own; files the same in both cost nothing. Prints the byte total.
#   xdelta_per_file.sh OLD NEW
# -D -R: bytes as they are, gzip files are not unpacked. xdelta3's messages
# go to stderr.
set -euo pipefail
[ $# -eq 2 ] && [ -d "$1" ] && [ -d "$2" ] || { echo "usage: xdelta_per_file.sh OLD NEW" >&2; exit 2; }
old=$1 new=$2
total=0
while IFS= read -r -d '' rel; do
    rel=${rel#./}
    if [ -f "$old/$rel" ]; then
        cmp -s "$old/$rel" "$new/$rel" && continue
        size=$(xdelta3 -9 -D -R -e -c -s "$old/$rel" "$new/$rel" | wc -c)
    else
        size=$(xdelta3 -9 -D -R -e -c "$new/$rel" | wc -c)
    fi
    total=$((total + size))
done < <(cd "$new" && find . -type f -print0)
echo "$total"
