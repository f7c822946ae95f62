#!/usr/bin/env bash
# wine-loader.sh [EXE]: prints the Wine loader that runs EXE: the 64-bit one
# for an x86-64 PE image, otherwise the 32-bit one (Wine's WoW64), which
# starts only where 32-bit (i386) programs run: on a kernel that runs them,
# or in the i386 lane (cmake/i386-lane.sh), which emulates them. Exits 77
# when they do not run here, 1 when a loader is missing, which
# scripts/setup.sh should have installed. The reason goes to stderr.
exe=${1:-}
# The PE header's machine field: the offset of the header is at 0x3C.
machine=""
if [ -f "$exe" ]; then
    offset=$(od -An -tu4 -j60 -N4 "$exe" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] && machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$exe" 2>/dev/null | tr -d ' ')
fi
if [ "$machine" = 8664 ]; then
    loader=/usr/lib/wine/wine64
    [ -x "$loader" ] || { echo "wine-loader: no 64-bit Wine loader at $loader" >&2; exit 1; }
    echo "$loader"
    exit 0
fi
loader=/usr/lib/wine/wine
if [ ! -x "$loader" ]; then
    echo "wine-loader: no 32-bit Wine loader at $loader (wine32:i386 not installed?)" >&2
    exit 1
fi
"$loader" --version >/dev/null 2>&1
code=$?
if [ "$code" -eq 126 ]; then
    echo "wine-loader: this machine's kernel does not run 32-bit (i386) programs" \
        "(exec format error): run the command in the i386 lane," \
        "bash cmake/i386-lane.sh COMMAND..., which emulates them" >&2
    exit 77
fi
if [ "$code" -ne 0 ]; then
    echo "wine-loader: Wine's 32-bit loader fails to start (exit $code)" >&2
    exit 1
fi
echo "$loader"
