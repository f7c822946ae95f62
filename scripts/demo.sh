#!/usr/bin/env bash
# The demo: builds varnelo_update.exe with the demo archive, sets up a sample
# Varnelo 1.0.5.2 installation in a fresh Wine prefix (build/demo), registers
# it under App Paths and runs the updater. On a display the user clicks
# through it; without one it runs under Xvfb, confirms automatically, and
# prints what the update changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
mkdir -p build
echo "=== building the updater (Windows cross build)"
cmake --preset windows >build/demo.configure.log 2>&1 || { cat build/demo.configure.log; exit 1; }
cmake --build --preset windows -j "$jobs" --target varnelo_update varnelo_demo_files \
    vrnl_1_0_5_2 varnelo_demo_tool >build/demo.build.log 2>&1 || { tail -40 build/demo.build.log; exit 1; }
B=$root/build/windows
tool=$B/host-demo/varnelo_demo

set +e
source tests/win/gui_lib.sh
work=$root/build/demo
interactive=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    interactive=1
    rm -rf "$work" && mkdir -p "$work"
    GUI_WORK=$work
    echo "=== a fresh Wine prefix in $work/prefix"
    gui_prefix "$work/prefix"
else
    echo "=== no display: Xvfb, and a fresh Wine prefix in $work/prefix"
    gui_start "$work"
fi
install=$(gui_c_drive)/Varnelo
"$tool" install "$install" "$B/demo/vrnl_1_0_5_2.exe" >/dev/null || gui_fail "cannot install the sample"
"$WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\VRNL.exe' /ve \
    /d 'C:\Varnelo\VRNL.exe' /f >/dev/null 2>&1
"$tool" list "$install" >"$work/before.txt"
echo "sample Varnelo 1.0.5.2 in C:\\Varnelo ($install), registered under App Paths"

if [ "$interactive" = 1 ]; then
    echo "=== running the updater on $DISPLAY"
    "$WINE" "$B/updater/varnelo_update.exe"
else
    echo "=== running the updater under Xvfb"
    gui_run "$work/run.out" "$B/updater/varnelo_update.exe"
    pid=$GUI_LAST
    window=$(gui_find "Varnelo Update 1.1.0.3" 60) || gui_fail "no confirmation dialog"
    gui_shot_keep "$window" confirmation
    echo "confirmation dialog shown; pressing OK"
    gui_key "$window" Return
    box=""
    for _ in $(seq 150); do
        box=$(gui_find "情報" 1 || gui_find "エラー" 1) && break
    done
    [ -n "$box" ] || gui_fail "no outcome message"
    echo "outcome message: \"$(xdotool getwindowname "$box")\" box; screenshot in $work/shots/outcome.png"
    gui_shot_keep "$box" outcome
    gui_key "$box" Return
    gui_wait_exit "$pid" 30
fi
"$tool" list "$install" >"$work/after.txt"
echo "=== what changed in C:\\Varnelo (checksum, size, path)"
diff "$work/before.txt" "$work/after.txt" | sed -n 's/^</  before:/p; s/^>/  after: /p'
"$tool" check "$install" --pit removed
