#!/usr/bin/env bash
# The updater's resources, and its five message boxes as a user sees them:
# text, caption, one OK button, no icon, no owner; Enter closes each.
#   messages_test.sh WORKDIR   (PROBE, UPDATER from the environment)
set -u
source "$(dirname "$0")/../../tools/guidriver/gui_lib.sh"
gui_start "$1"

echo "--- resources of $UPDATER"
"$WINE" "$PROBE" resources "Z:$UPDATER" | tr -d '\r' | tee "$GUI_WORK/resources.txt"
grep -q '^FAIL' "$GUI_WORK/resources.txt" && gui_fail "resources differ"

# id, caption index, caption shown, text shown, screenshot name
check_message() {
    local id=$1 caption=$2 title=$3 text=$4 shot=$5
    echo "--- ShowMessage($id, $caption)"
    gui_run "$GUI_WORK/message_$id.out" "$PROBE" message "$id" "$caption"
    local pid=$GUI_LAST
    gui_expect_box "$title" "$text"
    [ -n "$shot" ] && gui_shot_keep "$GUI_BOX" "$shot"
    kill -0 "$pid" 2>/dev/null || gui_fail "ShowMessage returned before the box was closed"
    gui_key "$GUI_BOX" Return
    gui_wait_exit "$pid" || gui_fail "probe failed"
    gui_absent "$title" || gui_fail "box \"$title\" still open"
}

check_message 1 0 "エラー" "テンポラリファイルの作成に失敗しました" message_01_tempfile_failed
check_message 5 0 "エラー" "インストールファイルの抽出に失敗しました" message_05_extract_failed
check_message 11 0 "エラー" "Varnelo をインストールしてください。" message_11_not_installed
check_message 16 0 "エラー" "パッチの適用に失敗しました。
再度CD-ROMからインストールしてください。" message_16_patch_failed
check_message 17 1 "情報" "アップデート完了しました。" message_17_update_done
# Out-of-range captions are clamped; an unknown id falls back to "Error".
check_message 17 -1 "エラー" "アップデート完了しました。" ""
check_message 11 2 "情報" "Varnelo をインストールしてください。" ""
check_message 99 1 "情報" "Error" ""
check_message 2 0 "エラー" "Error" ""
# A Western Windows (code page 1252) shows the same texts and captions.
[ "$(in_cp1252 "$WINE" "$PROBE" codepage | tr -d '\r')" = 1252 ] ||
    gui_fail "in_cp1252 does not give the probe code page 1252"
in_cp1252 check_message 1 0 "エラー" "テンポラリファイルの作成に失敗しました" ""
in_cp1252 check_message 5 0 "エラー" "インストールファイルの抽出に失敗しました" ""
in_cp1252 check_message 11 0 "エラー" "Varnelo をインストールしてください。" message_11_cp1252
in_cp1252 check_message 16 0 "エラー" "パッチの適用に失敗しました。
再度CD-ROMからインストールしてください。" ""
in_cp1252 check_message 17 1 "情報" "アップデート完了しました。" ""
echo "messages: all checks passed"
