#!/usr/bin/env bash
# wine-session.sh LOADER SECONDS: makes sure that WINEPREFIX's Wine server
# and Wine's own background programs (services, device hosts, the desktop)
# run, started here with none of the caller's pipes. Wine starts them with
# the first program it runs, which hands them its standard output and error,
# and they stay until the server ends: SECONDS after the last program when
# this script starts the server (3 s when a program does), or at
# `wineserver -k`. Started by a program whose output is read (a test's
# $(...), ctest), they would keep the reader waiting that long after every
# program, and each next program would start them again.
loader=$1
server=$(dirname "$loader")/wineserver
[ -x "$server" ] || server=$(command -v wineserver)
# The server answers 0 when it has started, and 2 when one already runs for
# this prefix (that one was started here too, or is in a program's use).
if "$server" -p"$2" </dev/null >/dev/null 2>&1; then
    "$loader" cmd /c exit 0 </dev/null >/dev/null 2>&1
fi
exit 0
