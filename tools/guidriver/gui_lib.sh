# Driving the updater under Wine, for the GUI tests and the release's proof: a
# private Xvfb, a fresh Wine prefix with code page 932 and Japanese fonts,
# window lookup and key presses with xdotool, screenshots with ImageMagick.
# Source it; call gui_start first.
#
# No window manager runs in Xvfb: Wine draws the window frames itself (X11
# Driver "Decorated"=N) and keeps its windows unmanaged ("Managed"=N).
# "ＭＳ Ｐゴシック" and the other Japanese system fonts are replaced by the IPA
# fonts.

# The 32-bit loader: the updater is an i686 program run under WoW64, and the
# tools it starts (reg, cmd) are the 32-bit ones, which see the registry as
# the game's 32-bit installer does; they start in the i386 lane
# (cmake/i386-lane.sh), which the caller enters. gui_start takes the 64-bit
# one for the windows64 build, whose updater and tools then share the 64-bit
# view.
WINE=/usr/lib/wine/wine
[ -x "$WINE" ] || WINE=$(command -v wine)
GUI_PIDS=()

gui_fail() {
    echo "FAIL: $*" >&2
    exit 1
}

gui_cleanup() {
    local pid
    for pid in "${GUI_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
    done
    if [ -n "${WINEPREFIX:-}" ]; then
        WINEPREFIX=$WINEPREFIX "$WINESERVER" -k 2>/dev/null
    fi
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    wait 2>/dev/null
}

# gui_start WORKDIR: Xvfb on a free display and a fresh prefix in WORKDIR.
gui_start() {
    GUI_WORK=$1
    # The loader for the updater under test (UPDATER, when set); a 32-bit one
    # outside the i386 lane on a machine that cannot run 32-bit programs
    # skips the test (exit 77), saying so.
    WINE=$(bash "$(dirname "${BASH_SOURCE[0]}")/../../cmake/wine-loader.sh" "${UPDATER:-}") ||
        exit $?
    rm -rf "$GUI_WORK"
    mkdir -p "$GUI_WORK"
    local fdfile=$GUI_WORK/display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$fdfile" ] && break
        sleep 0.05
    done
    [ -s "$fdfile" ] || gui_fail "Xvfb did not start"
    export DISPLAY=:$(head -1 "$fdfile")
    gui_prefix "$GUI_WORK/prefix"
}

# gui_prefix DIR: a fresh Wine prefix with code page 932 and the Japanese
# font replacements, on the current display. With GUI_PREFIX_TEMPLATE (a
# folder) the prefix is a copy of one made there once, under a lock, by the
# first caller: booting a prefix takes Wine about 12 s, a copy well under one.
gui_prefix() {
    WINESERVER=$(dirname "$WINE")/wineserver
    [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
    export WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml="
    trap gui_cleanup EXIT
    if [ -n "${GUI_PREFIX_TEMPLATE:-}" ]; then
        local template=$GUI_PREFIX_TEMPLATE stamp
        # A template from another Wine, or from another loader, is made anew.
        stamp="$WINE $("$WINE" --version 2>/dev/null)"
        rm -rf "$1"
        # Copied under the lock too, so that no copy reads a template being
        # made anew.
        (
            flock 9
            if [ "$(cat "$template/.made-by" 2>/dev/null)" != "$stamp" ]; then
                rm -rf "$template"
                gui_prefix_boot "$template" && echo "$stamp" >"$template/.made-by"
            fi
            [ -f "$template/.made-by" ] && cp -a "$template" "$1"
        ) 9>"$template.lock" || gui_fail "cannot make a prefix from the template $template"
        rm -f "$1/.made-by"
    else
        gui_prefix_boot "$1"
    fi
    export WINEPREFIX=$1
    gui_session
    # Wine hands its windows to the window manager and, when none answers,
    # waits about 2 s at every window hidden or closed. Where none runs
    # (Xvfb) the windows stay unmanaged: they look the same, since Wine draws
    # the frames, and nothing waits. On a desktop (the demo) the window
    # manager keeps them; GUI_MANAGED=1 keeps Wine's waits.
    if [ -z "${GUI_MANAGED:-}" ] &&
        ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >/dev/null 2>&1
    fi
    # GUI_DPI (default 96): the screen's resolution as Windows' display
    # settings set it.
    if [ -n "${GUI_DPI:-}" ]; then
        "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
            /d "$GUI_DPI" /f >/dev/null 2>&1
    fi
}

# gui_session: the prefix's Wine server and Wine's background programs,
# started apart from any output a test reads, and kept until gui_cleanup (or
# a minute without programs) rather than started again by every program
# (cmake/wine-session.sh).
gui_session() {
    bash "$(dirname "${BASH_SOURCE[0]}")/../../cmake/wine-session.sh" "$WINE" 60
}

# gui_prefix_boot DIR: boots a new prefix in DIR with what every test
# prefix has; returns once Wine has written it to disk.
gui_prefix_boot() {
    WINEPREFIX=$1 "$WINE" wineboot -i >/dev/null 2>&1
    local fonts='HKCU\Software\Wine\Fonts\Replacements'
    local name
    for name in "ＭＳ Ｐゴシック" "MS PGothic" "ＭＳ ゴシック" "MS Gothic" "MS UI Gothic" \
        "ＭＳ Ｐ明朝" "ＭＳ 明朝"; do
        WINEPREFIX=$1 "$WINE" reg add "$fonts" /v "$name" /t REG_SZ /d "IPAPGothic" /f \
            >/dev/null 2>&1
    done
    WINEPREFIX=$1 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ \
        /d N /f >/dev/null 2>&1
    # Wine draws the caption buttons with Marlett's glyphs; this Wine does not
    # find its own copy, and the close box would show a plain "r".
    local marlett
    for marlett in /usr/share/wine/fonts/marlett.ttf /usr/share/fonts/truetype/wine/marlett.ttf; do
        [ -f "$marlett" ] || continue
        cp "$marlett" "$1/drive_c/windows/Fonts/marlett.ttf"
        WINEPREFIX=$1 "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' \
            /v "Marlett (TrueType)" /t REG_SZ /d marlett.ttf /f >/dev/null 2>&1
        break
    done
    # The registry reaches the disk when the server ends.
    WINEPREFIX=$1 "$WINESERVER" -w
    [ -f "$1/system.reg" ]
}

# gui_c_drive: the prefix's C: folder on the host.
gui_c_drive() { echo "$WINEPREFIX/drive_c"; }

# gui_run OUTFILE PROGRAM ARGS...: starts the program in the background;
# its pid is in GUI_LAST.
gui_run() {
    local out=$1
    shift
    "$WINE" "$@" >"$out" 2>&1 &
    GUI_LAST=$!
    GUI_PIDS+=("$GUI_LAST")
}

# gui_wait_exit PID [SECONDS]: waits for the program; its exit code.
gui_wait_exit() {
    local pid=$1 limit=${2:-60}
    local i
    for i in $(seq $((limit * 20))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return $?
        fi
        sleep 0.05
    done
    gui_fail "program $pid still running after ${limit}s"
}

# gui_find TITLE [SECONDS]: id of a visible window with exactly that title.
gui_find() {
    local title=$1 limit=${2:-60}
    local i id
    for i in $(seq $((limit * 10))); do
        for id in $(xdotool search --onlyvisible --name "$title" 2>/dev/null); do
            if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$title" ]; then
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

# gui_windows: the titles of all windows, for failure reports.
gui_windows() {
    local id
    for id in $(xdotool search --name '.*' 2>/dev/null); do
        printf '[%s] ' "$(xdotool getwindowname "$id" 2>/dev/null)"
    done
}

# gui_absent TITLE: true when no visible window has that title.
gui_absent() {
    local id
    for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] && return 1
    done
    return 0
}

# gui_gone TITLE [SECONDS]: waits until no window has that title.
gui_gone() {
    local limit=${2:-60}
    local i
    for i in $(seq $((limit * 10))); do
        gui_absent "$1" && return 0
        sleep 0.1
    done
    return 1
}

# gui_key WINDOW KEY: gives the window the keyboard focus and presses the key
# once the X server reports the focus there. With no window manager the focus
# otherwise follows the pointer, and a key pressed before the focus has moved
# reaches another window (a message box that never closes).
gui_key() {
    local window=$1 key=$2 i
    for i in $(seq 600); do
        xdotool windowfocus "$window" >/dev/null 2>&1
        if [ "$(xdotool getwindowfocus 2>/dev/null)" = "$window" ]; then
            xdotool key "$key"
            return 0
        fi
        sleep 0.1
    done
    gui_fail "window $window never took the keyboard focus; windows: $(gui_windows)"
}

# gui_shot WINDOW FILE: screenshot of the window's area of the screen.
gui_shot() {
    local geometry x y w h
    geometry=$(xdotool getwindowgeometry --shell "$1")
    x=$(sed -n 's/^X=//p' <<<"$geometry")
    y=$(sed -n 's/^Y=//p' <<<"$geometry")
    w=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
    h=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
    sleep 0.3
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
}

# utf8_hex TEXT: the text's UTF-8 bytes in hex, as the probe takes and
# prints texts.
utf8_hex() {
    printf '%s' "$1" | od -An -tx1 | tr -d ' \n'
}

# gui_expect_box TITLE TEXT [SECONDS]: waits for a message box with that
# title and checks what it shows: that text, one OK button, no icon, no
# owner. Leaves its window id in GUI_BOX.
gui_expect_box() {
    local title=$1 text=$2 limit=${3:-60}
    GUI_BOX=$(gui_find "$title" "$limit") || gui_fail "no message box \"$title\"; windows: $(gui_windows)"
    gui_expect_texts "$title" "$text" 1 OK
}

# gui_expect_texts TITLE TEXT BUTTONS BUTTON_TEXTS: the dialog or message box
# with that title, of any process, shows that static text and that many
# buttons (their texts joined), with no icon and no owner; read back as
# UTF-16 through the probe.
gui_expect_texts() {
    local seen want="text=$(utf8_hex "$2") buttons=$3 button=$4 icons=0 owner=0"
    seen=$("$WINE" "$PROBE" readbox "$(utf8_hex "$1")" 2>/dev/null | tr -d '\r')
    [ "$seen" = "$want" ] || gui_fail "\"$1\": got '$seen', want '$want'"
}

# in_cp1252 COMMAND...: runs the command (or a function of this file) with
# the ANSI code page of a Western Windows, 1252, instead of the Japanese
# 932: Wine takes the code page from the locale of the program it starts.
in_cp1252() { LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 "$@"; }

# gui_no_box: fails if a message box of either caption is on the screen (call
# it once the program that could show one has exited).
gui_no_box() {
    gui_absent "エラー" && gui_absent "情報" || gui_fail "an unexpected message box appeared"
}

# gui_temp_files: the "vnp" temporary files in the prefix, one a line.
gui_temp_files() {
    find "$WINEPREFIX/drive_c" -iname 'vnp*.tmp' 2>/dev/null
}

# gui_shot_keep WINDOW NAME: a screenshot into the run's shots folder.
gui_shot_keep() {
    mkdir -p "$GUI_WORK/shots"
    gui_shot "$1" "$GUI_WORK/shots/$2.png"
}
