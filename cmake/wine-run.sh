#!/usr/bin/env bash
# Runs a Windows test binary under Wine in the build's own prefix, with the
# Japanese ANSI code page (932). scripts/test.sh makes the prefix fresh per run.
set -e
# The loader for this binary's bitness; a 32-bit binary on a machine that
# cannot run 32-bit programs skips the test (exit 77).
wine=$(bash "$(dirname "$0")/wine-loader.sh" "$1") || exit $?
# The prefix lives at the top of the build tree that runs the test.
build=$PWD
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || build=$PWD
: "${WINEPREFIX:=${VARNELO_WINEPREFIX:-$build/wineprefix}}"
# No Mono or Gecko: their installers would ask on a display and are not needed.
export WINEPREFIX WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$WINEPREFIX"
(
    flock 9
    # The Wine programs started here leave the lock's descriptor behind (9>&-):
    # the server and Wine's background programs they start would otherwise
    # hold the lock for as long as they run.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot -i >/dev/null 2>&1 9>&- || true
        # Test windows stay unmanaged: Wine would otherwise wait about 2 s
        # for a window manager at every window hidden or closed, and none
        # answers under Xvfb.
        "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >/dev/null 2>&1 9>&- || true
    fi
    # Started once for the tests that run one after another, apart from the
    # output ctest and the tests read.
    bash "$(dirname "$0")/wine-session.sh" "$wine" 5 9>&-
) 9>"$WINEPREFIX.lock"
exec "$wine" "$@"
