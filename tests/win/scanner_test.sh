#!/usr/bin/env bash
# vnpatch apply and the updater while a scanner (as a virus scanner or the
# search indexer does) holds every file they add, rename or write, for 50, 150
# and 400 ms: every run must finish with the installation exactly at the new
# version and no backup left. Scanner, vnpatch and updater share one prefix,
# and so one wineserver, which enforces the sharing rules between them.
#   scanner_test.sh WORKDIR   (VNPATCH, SCANNER, UPDATER, PROBE, DEMO_TOOL,
#                              DEMO_DIR from the environment)
set -u
source "$(dirname "$0")/../../tools/guidriver/gui_lib.sh"
source "$(dirname "$0")/../../tools/guidriver/updater_lib.sh"
gui_start "$1"
C=$(gui_c_drive)
failures=0

fault() {
    echo "FAULT: $*" >&2
    failures=$((failures + 1))
}

# scanner_start WINDIR HOLD_MS: the scanner on that folder, once its watch is
# armed (it writes its ready file then).
scanner_start() {
    rm -rf "$C/scan"
    mkdir -p "$C/scan"
    "$WINE" "$SCANNER" "$1" "$2" 'C:\scan\ready' >"$GUI_WORK/scanner.out" 2>&1 &
    SCANNER_PID=$!
    GUI_PIDS+=("$SCANNER_PID")
    for _ in $(seq 600); do
        [ -e "$C/scan/ready" ] && return 0
        kill -0 "$SCANNER_PID" 2>/dev/null ||
            gui_fail "the scanner ended: $(cat "$GUI_WORK/scanner.out")"
        sleep 0.05
    done
    gui_fail "the scanner never armed its watch"
}

# scanner_stop: ends the scanner through its stop file; the number of files
# it held goes to HELD, and a run where it held none is a fault, since it
# then proved nothing.
scanner_stop() {
    : >"$C/scan/ready.stop"
    gui_wait_exit "$SCANNER_PID" 30 || gui_fail "scanner exit code $?: $(cat "$GUI_WORK/scanner.out")"
    HELD=$(tr -d '\r' <"$GUI_WORK/scanner.out" | sed -n 's/^scanner: held \([0-9]*\) files$/\1/p')
    [ "${HELD:-0}" -gt 0 ] || fault "the scanner held no file: $(cat "$GUI_WORK/scanner.out")"
}

# same_tree HOSTDIR EXPECTED [diff options]: byte for byte, no file more or
# less, and no backup.
same_tree() {
    local differences
    differences=$(LC_ALL=C diff -rq "${@:3}" "$1" "$2" 2>&1) ||
        fault "installation differs from the new tree:"$'\n'"${differences//"$C/"/}"
    local backups
    backups=$(cd "$1" && find . -iname '*.bak' | tr '\n' ' ')
    [ -z "$backups" ] || fault "backup left: $backups"
}

# bytes SEED SIZE: that many pseudo-random bytes, the same for the same seed.
bytes() {
    openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$1")" -iv 0 -in /dev/zero 2>/dev/null |
        head -c "$2"
}

# The update a release makes: from both older versions of the sample to
# 1.1.0.3, with rebuilds (one file from either of two versions), whole writes
# and deletes; a few more of each make some twenty records.
trees=$C/trees
"$DEMO_TOOL" versions "$trees" "$DEMO_DIR/vrnl_1_0_5_2.exe" "$DEMO_DIR/vrnl_1_1_0_0.exe" \
    "$DEMO_DIR/vrnl_1_1_0_3.exe" || gui_fail "cannot write the sample versions"
cp -a "$trees/1.1.0.3" "$C/sample_new" # the updater's archive gives this one
for t in 1.0.5.2 1.1.0.0 1.1.0.3; do
    mkdir -p "$trees/$t/course/extra" "$trees/$t/racetex" "$trees/$t/save"
done
for i in 1 2 3 4 5; do
    old=$trees/1.0.5.2/course/extra/track$i.bin
    bytes "$i" 40000 >"$old"
    cp "$old" "$trees/1.1.0.0/course/extra/track$i.bin"
    { head -c 15000 "$old" && bytes $((10 + i)) 3000 && tail -c 20000 "$old"; } \
        >"$trees/1.1.0.3/course/extra/track$i.bin"
done
for i in 1 2 3; do
    bytes $((20 + i)) 9000 >"$trees/1.1.0.3/racetex/extra$i.tex"
done
for i in 1 2; do
    bytes $((30 + i)) 2000 | tee "$trees/1.1.0.0/save/old$i.dat" >"$trees/1.0.5.2/save/old$i.dat"
done
"$WINE" "$VNPATCH" build --old 'C:\trees\1.0.5.2' --old 'C:\trees\1.1.0.0' \
    --new 'C:\trees\1.1.0.3' -o 'C:\patch.cf00' >"$GUI_WORK/build.out" 2>&1 ||
    gui_fail "vnpatch build: $(cat "$GUI_WORK/build.out")"

for hold in 50 150 400; do
    rm -rf "$C/inst"
    cp -a "$trees/1.0.5.2" "$C/inst"
    scanner_start 'C:\inst' "$hold"
    "$WINE" "$VNPATCH" apply 'C:\patch.cf00' 'C:\inst' >"$GUI_WORK/apply.out" 2>&1
    code=$?
    scanner_stop
    echo "--- vnpatch apply, each file held ${hold} ms: exit $code, scanner held $HELD files"
    [ "$code" -eq 0 ] || fault "vnpatch apply exit $code: $(tr -d '\r' <"$GUI_WORK/apply.out" | tail -1)"
    same_tree "$C/inst" "$trees/1.1.0.3"
done

# The updater itself, its embedded archive on the 1.0.5.2 sample with pit
# data. Afterwards the tree is the new one but for the main executable, which
# this archive leaves at 1.0.5.2.
install 1_0_5_2
scanner_start 'C:\Varnelo' 400
gui_run "$GUI_WORK/run.out" "$UPDATER"
pid=$GUI_LAST
window=$(gui_find "$CONFIRM" 30) || gui_fail "no confirmation dialog"
gui_key "$window" Return
outcome=
for _ in $(seq 1200); do
    gui_absent "情報" || outcome=情報
    gui_absent "エラー" || outcome=エラー
    [ -n "$outcome" ] && break
    sleep 0.1
done
[ -n "$outcome" ] || gui_fail "no outcome message; windows: $(gui_windows)"
if [ "$outcome" = 情報 ]; then
    gui_expect_box "$outcome" "$DONE" 10
else
    gui_expect_box "$outcome" "$FAILED" 10
    fault "the updater says applying the patch failed"
fi
gui_key "$GUI_BOX" Return
gui_wait_exit "$pid" 20 || gui_fail "updater exit code $?"
scanner_stop
echo "--- updater, each file held 400 ms: \"$outcome\", scanner held $HELD files"
"$DEMO_TOOL" check "$INSTALL_HOST" --pit removed || fault "installation not as the archive makes it"
same_tree "$INSTALL_HOST" "$C/sample_new" -x VRNL.exe
cmp -s "$INSTALL_HOST/VRNL.exe" "$DEMO_DIR/vrnl_1_0_5_2.exe" || fault "VRNL.exe changed"
[ -z "$(gui_temp_files)" ] || fault "temporary file left: $(gui_temp_files)"

echo "scanner: $failures faults"
[ "$failures" -eq 0 ]
