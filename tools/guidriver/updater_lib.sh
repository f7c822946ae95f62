# Helpers for whole runs of the updater (GUI tests and the release's proof): a
# sample installation registered under App Paths, the confirmation, the
# outcome, the tree after.
# Source it after gui_lib.sh; set C=$(gui_c_drive) after gui_start.
CONFIRM="Varnelo Update 1.1.0.3"
CONFIRM_TEXT="このアップデータは、Varneloを
バージョン １．１．０．３ にアップデートします。

アップデートすることによりコースや車のデータ、車の挙動等が変更されます。
またバージョン１．０で作成されたピットカー、リプレイ、ゴースト等は
使用できなくなります。

アップデートを適用しますか？"
PROGRESS="Update中・・・"
APP_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\VRNL.exe'

# install VERSION [DIR] [demo options]: a fresh sample tree at C:\DIR
# (default Varnelo), registered; VERSION is 1_0_5_2, 1_1_0_0, 2_0_0_0 or
# noversion.
install() {
    local version=$1 dir=${2:-Varnelo}
    shift 2 || shift $#
    INSTALL_HOST=$C/$dir
    rm -rf "$INSTALL_HOST"
    "$DEMO_TOOL" install "$INSTALL_HOST" "$DEMO_DIR/vrnl_$version.exe" "$@" >/dev/null ||
        gui_fail "cannot install the sample tree"
    register "C:\\${dir//\//\\}\\VRNL.exe"
}

# register VALUE: the App Paths value as a (32-bit) installer would write it.
register() {
    "$WINE" reg add "$APP_KEY" /ve /d "$1" /f >/dev/null 2>&1 || gui_fail "cannot register $1"
}

unregister() { "$WINE" reg delete "$APP_KEY" /f >/dev/null 2>&1; }

# check_tree --pit removed|kept [options]: the tree is as the archive makes it,
# with no temporary file and no backup left.
check_tree() {
    "$DEMO_TOOL" check "$INSTALL_HOST" "$@" || gui_fail "installation not as expected"
    [ -z "$(gui_temp_files)" ] || gui_fail "temporary file left: $(gui_temp_files)"
}

# confirm_and_finish UPDATER TITLE TEXT [SHOT]: OK in the confirmation, then
# the outcome message; the updater exits 0 once it is closed. A run whose
# dialog is kept as a picture also has its texts read back.
confirm_and_finish() {
    local updater=$1 title=$2 text=$3 shot=${4:-}
    gui_run "$GUI_WORK/run.out" "$updater"
    local pid=$GUI_LAST
    local window
    window=$(gui_find "$CONFIRM" 30) || gui_fail "no confirmation dialog"
    if [ -n "$shot" ]; then
        gui_shot_keep "$window" "$shot"
        # Its text and the two buttons, OK and Cancel.
        gui_expect_texts "$CONFIRM" "$CONFIRM_TEXT" 2 OKｷｬﾝｾﾙ
    fi
    gui_key "$window" Return
    gui_expect_box "$title" "$text" 120
    gui_absent "$PROGRESS" || gui_fail "the outcome message came before the progress window closed"
    gui_key "$GUI_BOX" Return
    gui_wait_exit "$pid" 20 || gui_fail "updater exit code $?"
}

DONE="アップデート完了しました。"
FAILED="パッチの適用に失敗しました。
再度CD-ROMからインストールしてください。"


# expect_not_installed: the updater shows only the not-installed message.
expect_not_installed() {
    gui_run "$GUI_WORK/run.out" "$UPDATER"
    local pid=$GUI_LAST
    gui_expect_box "エラー" "Varnelo をインストールしてください。" 60
    gui_absent "$CONFIRM" || gui_fail "confirmation shown without an installation"
    gui_key "$GUI_BOX" Return
    gui_wait_exit "$pid" 20 || gui_fail "updater exit code $?"
}
