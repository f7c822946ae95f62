#!/usr/bin/env bash
# SZDD fixtures made by a real SZDD compressor (Debian's mscompress): each
# input beside its compressed form NAME_.
set -eu
out=$1
mkdir -p "$out"
cd "$out"
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
