#!/usr/bin/env bash
# Whether this machine can run the 32-bit Windows programs under Wine's
# WoW64. Exits 0 when Wine's 32-bit loader starts; 77 (the tests' "skipped")
# when the kernel refuses 32-bit programs altogether, which no install step
# can mend; 1 when the loader is missing, which scripts/setup.sh should have
# installed. The reason goes to stderr.
wine=/usr/lib/wine/wine
if [ ! -x "$wine" ]; then
    echo "wine32-check: no 32-bit Wine loader at $wine (wine32:i386 not installed?)" >&2
    exit 1
fi
"$wine" --version >/dev/null 2>&1
code=$?
if [ "$code" -eq 126 ]; then
    echo "wine32-check: SKIPPED: this machine's kernel does not run 32-bit (i386) programs" \
        "(exec format error), so Wine cannot run the 32-bit Windows binaries here" >&2
    exit 77
fi
if [ "$code" -ne 0 ]; then
    echo "wine32-check: Wine's 32-bit loader fails to start (exit $code)" >&2
    exit 1
fi
exit 0
