#!/usr/bin/env bash
# The updater as a user meets it: a sample installation registered under
# App Paths, the confirmation, the phases, the outcome message, and what is
# left on disk afterwards.
#   updater_test.sh WORKDIR   (UPDATER, UPDATER_LARGE, UPDATER_BAD, PROBE,
#                              PROBE_BARE, ARCHIVE_LARGE, DEMO_TOOL, DEMO_DIR
#                              from the environment)
set -u
source "$(dirname "$0")/../../tools/guidriver/gui_lib.sh"
source "$(dirname "$0")/../../tools/guidriver/updater_lib.sh"
gui_start "$1"
C=$(gui_c_drive)

echo "--- not installed"
unregister
expect_not_installed
echo "--- not installed, code page 1252"
in_cp1252 expect_not_installed

# A value that does not name the installed main executable gives the
# not-installed message and changes nothing, neither in the installation nor
# beside it (a folder as the value would otherwise be cut to the drive).
strange_value() {
    local what=$1 value=$2
    echo "--- registered value: $what ($value)"
    install 1_0_5_2
    [ "$what" = "executable missing" ] && rm "$INSTALL_HOST/VRNL.exe"
    register "$value"
    "$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/before.txt"
    find "$C" -maxdepth 1 | sort >"$GUI_WORK/root_before.txt"
    expect_not_installed
    "$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/after.txt"
    find "$C" -maxdepth 1 | sort >"$GUI_WORK/root_after.txt"
    cmp -s "$GUI_WORK/before.txt" "$GUI_WORK/after.txt" || gui_fail "$what: the installation changed"
    cmp -s "$GUI_WORK/root_before.txt" "$GUI_WORK/root_after.txt" ||
        gui_fail "$what: C:\\ changed: $(diff "$GUI_WORK/root_before.txt" "$GUI_WORK/root_after.txt")"
    [ -z "$(gui_temp_files)" ] || gui_fail "$what: temporary file left: $(gui_temp_files)"
}
strange_value "a folder" 'C:\Varnelo'
strange_value "a trailing backslash" 'C:\Varnelo\'
strange_value "executable missing" 'C:\Varnelo\VRNL.exe'
strange_value "no folder part" 'VRNL.exe'

# A run cut off while it rebuilt VRNL.exe leaves it only under its backup
# name: the next run must still find the installation and go on. (The
# version record cannot be read then: the pit data stays.)
echo "--- VRNL.exe only as VRNL.exe.bak: the update runs"
install 1_0_5_2
mv "$INSTALL_HOST/VRNL.exe" "$INSTALL_HOST/VRNL.exe.bak"
confirm_and_finish "$UPDATER" "情報" "$DONE"
[ -f "$INSTALL_HOST/VRNL.exe.bak" ] || gui_fail "the backup of VRNL.exe is gone"
mv "$INSTALL_HOST/VRNL.exe.bak" "$INSTALL_HOST/VRNL.exe"
check_tree --pit kept

# A user who is not elevated may only read HKEY_LOCAL_MACHINE: reading the
# registration must not ask for more.
echo "--- App Paths key readable only: the update runs"
install 1_0_5_2
[ "$(tr -d '\r' < <("$WINE" "$PROBE" keyrights read))" = "set=1 full_access=denied" ] ||
    gui_fail "cannot make the key read-only"
confirm_and_finish "$UPDATER" "情報" "$DONE"
check_tree --pit removed
"$WINE" "$PROBE" keyrights full >/dev/null || gui_fail "cannot give the key full access back"

echo "--- 1.0.5.2: OK, update, pit data removed"
install 1_0_5_2
confirm_and_finish "$UPDATER" "情報" "$DONE" confirmation
check_tree --pit removed

# A Western Windows shows the same Japanese texts and captions.
echo "--- 1.0.5.2 under code page 1252: the same texts"
install 1_0_5_2
in_cp1252 confirm_and_finish "$UPDATER" "情報" "$DONE" confirmation_cp1252
check_tree --pit removed

for version in 1_1_0_0 2_0_0_0 noversion; do
    echo "--- $version: pit data kept"
    install "$version"
    confirm_and_finish "$UPDATER" "情報" "$DONE"
    check_tree --pit kept
done

# cancel_with HOW: Escape, the Cancel button (Tab to it, then Space), the
# close box, Alt+F4. Nothing changes, no message follows.
cancel_with() {
    echo "--- cancel: $1"
    install 1_0_5_2
    "$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/before.txt"
    gui_run "$GUI_WORK/run.out" "$UPDATER"
    local pid=$GUI_LAST window
    window=$(gui_find "$CONFIRM" 30) || gui_fail "no confirmation dialog"
    case $1 in
    escape) gui_key "$window" Escape ;;
    button)
        gui_key "$window" Tab
        gui_key "$window" space
        ;;
    closebox)
        local geometry w
        geometry=$(xdotool getwindowgeometry --shell "$window")
        w=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
        xdotool mousemove --window "$window" $((w - 11)) 11 click 1
        ;;
    altf4) gui_key "$window" alt+F4 ;;
    esac
    gui_wait_exit "$pid" 20 || gui_fail "updater exit code $?"
    gui_no_box
    "$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/after.txt"
    cmp -s "$GUI_WORK/before.txt" "$GUI_WORK/after.txt" || gui_fail "cancel changed the tree"
    [ -z "$(gui_temp_files)" ] || gui_fail "temporary file after cancel: $(gui_temp_files)"
}
for how in escape button closebox altf4; do cancel_with $how; done

echo "--- a record that does not verify"
install 1_0_5_2
confirm_and_finish "$UPDATER_BAD" "エラー" "$FAILED"
check_tree --pit removed --bad

echo "--- an installation directory with ソ and 表 (0x5C as a second byte)"
install 1_0_5_2 "ゲーム/ソフト表/Varnelo"
confirm_and_finish "$UPDATER" "情報" "$DONE"
check_tree --pit removed
# Code page 1252 has no such characters: the path names no file, and nothing
# is touched.
echo "--- the same directory under code page 1252: not installed"
install 1_0_5_2 "ゲーム/ソフト表/Varnelo"
"$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/before.txt"
in_cp1252 expect_not_installed
"$DEMO_TOOL" list "$INSTALL_HOST" >"$GUI_WORK/after.txt"
cmp -s "$GUI_WORK/before.txt" "$GUI_WORK/after.txt" || gui_fail "code page 1252: the installation changed"

# Under code page 1252: the picture must match the one taken under 932.
echo "--- a long patch phase: the progress window (code page 1252)"
install 1_0_5_2 Varnelo --large
in_cp1252 gui_run "$GUI_WORK/run.out" "$UPDATER_LARGE"
pid=$GUI_LAST
window=$(gui_find "$CONFIRM" 30) || gui_fail "no confirmation dialog"
gui_key "$window" Return
progress=$(gui_find "$PROGRESS") || gui_fail "no progress window"
"$WINE" "$PROBE" waitprogress "$(utf8_hex "$PROGRESS")" >/dev/null || gui_fail "the progress bar never moved"
gui_shot_keep "$progress" progress
gui_absent "情報" || gui_fail "finished too fast to see the progress window"
gui_expect_box "情報" "$DONE" 300
gui_key "$GUI_BOX" Return
gui_wait_exit "$pid" 20 || gui_fail "updater exit code $?"
check_tree --pit removed --large
# Without its window the runner must still wait for the worker: the outcome
# comes only once every record is applied. The bare probe has no dialogs and
# no texts, so the message reads "Error".
echo "--- no progress window can be made: the outcome waits for the worker"
install 1_0_5_2 Varnelo --large
gui_run "$GUI_WORK/bare.out" "$PROBE_BARE" patch "Z:${ARCHIVE_LARGE//\//\\}" 'C:\Varnelo'
pid=$GUI_LAST
gui_expect_box "情報" "Error" 300
"$DEMO_TOOL" check "$INSTALL_HOST" --pit kept --large || gui_fail "outcome shown before the patch phase ended"
gui_key "$GUI_BOX" Return
gui_wait_exit "$pid" 20 || gui_fail "probe failed"
[ "$(tr -d '\r' <"$GUI_WORK/bare.out")" = "result=1 status=1 at_box=1" ] || gui_fail "bare run: $(cat "$GUI_WORK/bare.out")"
echo "updater: all checks passed"
