#!/usr/bin/env bash
# The updater killed at random moments of a real run (during extraction and
# all through the patch phase of a large archive), then run again: the second
# run must always end with "update complete" and every file at its new
# version, with no backup left.
#   kill_test.sh WORKDIR [KILLS]   (UPDATER_LARGE, PROBE, DEMO_TOOL, DEMO_DIR
#                                   from the environment)
set -u
source "$(dirname "$0")/../../tools/guidriver/gui_lib.sh"
source "$(dirname "$0")/../../tools/guidriver/updater_lib.sh"
gui_start "$1"
C=$(gui_c_drive)
kills=${2:-6}
RANDOM=${KILL_SEED:-7}

for i in $(seq "$kills"); do
    install 1_0_5_2 Varnelo --large
    # The first kill comes during extraction; the others at a random time
    # (0 to 2 s) after the progress window has shown.
    gui_run "$GUI_WORK/run.out" "$UPDATER_LARGE"
    pid=$GUI_LAST
    window=$(gui_find "$CONFIRM" 30) || gui_fail "no confirmation dialog"
    gui_key "$window" Return
    if [ "$i" -eq 1 ]; then
        delay=0
    else
        gui_find "$PROGRESS" 60 >/dev/null || gui_fail "no progress window"
        delay=$(printf '%d.%03d' $((RANDOM % 2)) $((RANDOM % 1000)))
    fi
    sleep "$delay"
    finished=no
    gui_absent "情報" || finished=yes
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    backups=$(find "$INSTALL_HOST" -name '*.bak' | wc -l)
    echo "--- kill $i after ${delay}s: finished before the kill: $finished, backups left: $backups"
    # A killed process cannot remove its temporary file.
    gui_temp_files | while read -r f; do rm -f "$f"; done
    confirm_and_finish "$UPDATER_LARGE" "情報" "$DONE"
    check_tree --pit removed --large
done
echo "kill: $kills runs killed and finished by a second run"
