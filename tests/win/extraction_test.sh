#!/usr/bin/env bash
# The extraction phase behind its wait window: a "vnp" temporary file
# identical to the embedded archive; two runs side by side; an overlong
# temporary directory; a full disk. A failure's message is shown while the
# wait window stays open, and the phase ends only once it is dismissed.
#   extraction_test.sh WORKDIR   (PROBE, DEMO_ARCHIVE from the environment)
set -u
source "$(dirname "$0")/../../tools/guidriver/gui_lib.sh"
gui_start "$1"
WAIT_TITLE="展開中・・・"

# probe_result FILE: the "result=... status=... path=..." line.
probe_result() { tr -d '\r' <"$1" | grep '^result='; }

host_path() { "$WINE" winepath -u "$1" 2>/dev/null | tr -d '\r'; }

echo "--- success, twice side by side"
gui_run "$GUI_WORK/extract1.out" "$PROBE" extract
first=$GUI_LAST
gui_run "$GUI_WORK/extract2.out" "$PROBE" extract
gui_wait_exit "$first" || gui_fail "first probe failed"
gui_wait_exit "$GUI_LAST" || gui_fail "second probe failed"
paths=()
for out in "$GUI_WORK/extract1.out" "$GUI_WORK/extract2.out"; do
    line=$(probe_result "$out")
    case "$line" in
    "result=1 status=1 at_box=99 path="*) ;;
    *) gui_fail "extraction: $line" ;;
    esac
    path=${line#*path=}
    name=${path##*\\}
    case "$name" in
    vnp*) ;;
    *) gui_fail "temporary file name does not begin with vnp: $path" ;;
    esac
    file=$(host_path "$path")
    cmp -s "$file" "$DEMO_ARCHIVE" || gui_fail "$path differs from the embedded archive"
    paths+=("$file")
done
[ "${paths[0]}" != "${paths[1]}" ] || gui_fail "two runs wrote the same file ${paths[0]}"
rm -f "${paths[@]}"

set_temp() {
    local name
    for name in TEMP TMP; do
        "$WINE" reg add 'HKCU\Environment' /v $name /t REG_EXPAND_SZ /d "$1" /f >/dev/null 2>&1
    done
}
normal_temp=$("$WINE" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')

# failing_run CASE TMPDIR TEXT: the message appears with the wait window still
# up and the phase still running (the probe notes the status when the box
# shows); only after Enter does the window close and the phase end with -1.
failing_run() {
    local what=$1 tmp=$2 text=$3
    echo "--- $what"
    # Wine takes TEMP and TMP from the user's environment in the registry.
    set_temp "$tmp"
    gui_run "$GUI_WORK/$what.out" "$PROBE" extract
    local pid=$GUI_LAST
    gui_expect_box "エラー" "$text"
    local wait_window
    wait_window=$(gui_find "$WAIT_TITLE" 1) || gui_fail "$what: the wait window closed before the message was dismissed"
    gui_expect_texts "$WAIT_TITLE" "ファイルの展開をしています..." 0 ""
    # The box and the wait window are both centred: move the box aside.
    xdotool windowmove "$GUI_BOX" 20 20
    if [ "$what" = full_disk ]; then
        gui_shot_keep "$wait_window" wait_window
    fi
    mkdir -p "$GUI_WORK/shots"
    import -window root "$GUI_WORK/shots/wait_window_with_failure_$what.png"
    gui_key "$GUI_BOX" Return
    gui_gone "$WAIT_TITLE" ||
        gui_fail "$what: the wait window stayed after the message; windows: $(gui_windows)"
    gui_wait_exit "$pid" || gui_fail "$what: probe failed"
    local line
    line=$(probe_result "$GUI_WORK/$what.out")
    case "$line" in
    "result=0 status=-1 at_box=0 path="*) ;;
    "result=0 status=-1 at_box="*) gui_fail "$what: the phase had ended when its message showed: $line" ;;
    *) gui_fail "$what: $line" ;;
    esac
    gui_no_box
    set_temp "$normal_temp"
}

# A temporary directory of 260 characters or more.
long=$GUI_WORK/t
while [ ${#long} -lt 280 ]; do long=$long/directory_name_0123456789; done
mkdir -p "$long"
failing_run long_temp_dir "Z:${long//\//\\}" "テンポラリファイルの作成に失敗しました"
[ -z "$(ls -A "$long")" ] || gui_fail "files were created in the overlong directory"
# The wait window and the message read the same under code page 1252.
in_cp1252 failing_run long_temp_dir_cp1252 "Z:${long//\//\\}" "テンポラリファイルの作成に失敗しました"

# A full disk: a tmpfs smaller than the archive as the temporary directory.
full=$GUI_WORK/full
mkdir -p "$full"
if mount -t tmpfs -o size=16k tmpfs "$full" 2>/dev/null; then
    trap 'umount "$full" 2>/dev/null; gui_cleanup' EXIT
    failing_run full_disk "Z:${full//\//\\}" "インストールファイルの抽出に失敗しました"
    [ -z "$(ls -A "$full")" ] || gui_fail "the temporary file stayed on the full disk: $(ls "$full")"
    umount "$full"
else
    echo "SKIP full disk: cannot mount a tmpfs here"
fi
[ -z "$(gui_temp_files)" ] || gui_fail "temporary files left: $(gui_temp_files)"
echo "extraction: all checks passed"
