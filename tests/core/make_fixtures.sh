#!/usr/bin/env bash
# SZDD fixtures made by a real SZDD compressor (Debian's mscompress): each
# input beside its compressed form NAME_.
#
# mscompress and msexpand read and write one byte per system call, which
# makes this take a quarter of a minute. VARNELO_FIXTURE_CACHE, when set,
# names a folder where the fixtures are kept for the other builds of the
# same tree (scripts/test.sh sets it): they are copied from there when this
# very script made them.
set -eu
out=$1
cache=${VARNELO_FIXTURE_CACHE:-}
key=$(sha256sum "$0" | cut -d' ' -f1)
mkdir -p "$out"
cd "$out"
if [ -n "$cache" ] && [ "$(cat "$cache/stamp" 2>/dev/null)" = "$key" ]; then
    cp "$cache"/*.bin "$cache"/*.bin_ "$cache"/*.msexpand .
    touch stamp
    exit 0
fi

: > empty.bin
printf 'x' > one.bin
yes 'The quick brown fox jumps over the lazy dog 0123456789' | head -c 120000 > text.bin
head -c 65536 /dev/urandom > random.bin
{ head -c 200000 /dev/zero; printf '%*s' 10000 ''; head -c 5000 /dev/zero | tr '\0' 'A'; } > runs.bin
{ for i in $(seq 1 40); do head -c 30000 /dev/urandom; yes "line $i of mixed data" | head -c 50000; done; } > mixed.bin
for f in empty one text random runs mixed; do
    rm -f "$f.bin_"
    mscompress "$f.bin"
    # What Debian's own expander makes of it: mscompress mangles the last
    # bytes of very short inputs, so decoders are compared on that too.
    msexpand < "$f.bin_" > "$f.msexpand"
done
touch stamp

if [ -n "$cache" ]; then
    # Filled beside the cache and swapped in whole, so that a build reading
    # it never sees half of it.
    mkdir -p "$(dirname "$cache")"
    fill=$(mktemp -d "$cache.XXXXXX")
    cp ./*.bin ./*.bin_ ./*.msexpand "$fill/"
    echo "$key" >"$fill/stamp"
    rm -rf "$cache.old"
    [ ! -d "$cache" ] || mv "$cache" "$cache.old"
    mv "$fill" "$cache" || true
    rm -rf "$cache.old"
fi
