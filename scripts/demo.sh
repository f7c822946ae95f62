#!/usr/bin/env bash
# The demo: writes the sample Varnelo at 1.0.5.2, 1.1.0.0 and 1.1.0.3, makes
# a release of them with scripts/release.sh (which runs the updater on both
# older versions in fresh Wine prefixes under Xvfb) and prints its report.
# On a display it then installs 1.0.5.2 into a fresh prefix (build/demo) and
# runs the released updater there for the user to click through. The i686
# updater runs in the i386 lane (cmake/i386-lane.sh), which the whole demo
# enters: emulated where the kernel runs no 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${VARNELO_I386_LANE:-}" ] || exec bash cmake/i386-lane.sh bash "$0" "$@"
root=$PWD
jobs=${JOBS:-$(nproc)}
mkdir -p build
echo "=== building the sample generator and the sample VRNL.exe (Windows cross build)"
cmake --preset windows >build/demo.configure.log 2>&1 || { cat build/demo.configure.log; exit 1; }
cmake --build --preset windows -j "$jobs" --target varnelo_demo_tool vrnl_1_0_5_2 vrnl_1_1_0_0 \
    vrnl_1_1_0_3 >build/demo.build.log 2>&1 || { tail -40 build/demo.build.log; exit 1; }
B=$root/build/windows
# The build machine's tools: from the host build the Windows build uses.
host=$(sed -n 's/^VARNELO_HOST_BUILD:PATH=//p' "$B/CMakeCache.txt")
tool=${host:-$B/host}/tools/demo/varnelo_demo
work=$root/build/demo
trees=$work/trees
rm -rf "$trees" "$work/prefix"
mkdir -p "$work"
"$tool" versions "$trees" "$B/demo/vrnl_1_0_5_2.exe" "$B/demo/vrnl_1_1_0_0.exe" \
    "$B/demo/vrnl_1_1_0_3.exe"
echo "sample trees in $trees: 1.0.5.2, 1.1.0.0, 1.1.0.3"

# The release proves the i686 updater that ships.
echo "=== vnpatch release (scripts/release.sh, i386 lane: $VARNELO_I386_LANE): archive, updater, proof on both older trees"
start=$(date +%s)
JOBS=$jobs bash scripts/release.sh --old "$trees/1.0.5.2" --old "$trees/1.1.0.0" \
    --new "$trees/1.1.0.3" -o "$work/release"
echo "release took $(($(date +%s) - start)) s"
echo "=== the report ($work/release/report.html)"
sed -n '/^| older tree/,/^$/p' "$work/release/report.md"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    set +e
    source tools/guidriver/gui_lib.sh
    WINE=$(bash cmake/wine-loader.sh "$work/release/varnelo_update.exe")
    GUI_WORK=$work
    echo "=== a fresh Wine prefix in $work/prefix with Varnelo 1.0.5.2 in C:\\Varnelo"
    gui_prefix "$work/prefix"
    install=$(gui_c_drive)/Varnelo
    cp -a "$trees/1.0.5.2" "$install"
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\VRNL.exe' /ve \
        /d 'C:\Varnelo\VRNL.exe' /f >/dev/null 2>&1
    echo "=== running the released updater on $DISPLAY"
    "$WINE" "$work/release/varnelo_update.exe"
    if diff -r "$install" "$trees/1.1.0.3" >/dev/null; then
        echo "C:\\Varnelo is now the 1.1.0.3 tree"
    else
        echo "C:\\Varnelo differs from the 1.1.0.3 tree (cancelled?):"
        diff -rq "$install" "$trees/1.1.0.3" | sed 's/^/  /'
    fi
fi
