#!/usr/bin/env bash
# updater_size.sh EXE: the updater's own size in bytes, that is the size of
# the executable less its embedded patch archive (RCDATA 103), so that
# updaters carrying different archives compare. The resources are read by
# `vnpatch resources`: VNPATCH, or the native build's.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 EXE" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
vnpatch=${VNPATCH:-$here/../build/native/tools/vnpatch/vnpatch}
resources=$("$vnpatch" resources "$1")
archive=$(awk '$1 == 10 && $2 == 103 { total += $4; found = 1 }
               END { if (found) print total }' <<<"$resources")
if [ -z "$archive" ]; then
    echo "$1: no RCDATA 103 (patch archive) among its resources" >&2
    exit 1
fi
echo $(($(stat -c %s "$1") - archive))
