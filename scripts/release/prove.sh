#!/usr/bin/env bash
# The proof of a release on one older tree, in its own Xvfb and Wine prefix:
#
#   prove.sh --tree DIR --version V --new DIR --updater EXE --probe EXE
#            --work DIR --json FILE [--index N] [--shot FILE] [--no-healing]
#
# Plain proof: installs the tree at C:\Varnelo with pit data, registers it
# under App Paths, runs RELEASE_BEFORE_RUN (with the tree and the host path of
# its installed copy), runs the updater, confirms, reads the outcome message
# through the probe and compares the installation byte for byte with the new
# tree (the pit data removed from 1.0 trees, kept on later ones).
#
# Healing proof, when the plain one passed: the same installation again, the
# updater killed (kill -9) at a random moment while it patches, then run
# again to the end; the second run must leave the new tree just as a plain
# run does. Patching has begun at the first change the updater makes in the
# installed tree (seen with inotify); the kill comes a random delay after it,
# drawn from 0 to the time the plain run spent changing the tree. When the
# tree was already the new one at the kill, the kill hit nothing to heal: up
# to two more tries with shorter delays, the last at once.
#
# The result is one JSON object on FILE: path, version, run_ms, title,
# message, pit, ok, failure, faults and healing (ok, killed_after_ms,
# backups_at_kill, finished_before_kill, failure, faults; null when not run).
# It is written whatever happens, the exit code is 0 when both proofs passed.
#
# --index N varies the pit data between trees; --shot FILE keeps a screenshot
# of the progress window when FILE does not exist yet and the window stays up
# long enough. Environment: RELEASE_SEED (the kill delays; default from
# $RANDOM, printed), RELEASE_BEFORE_RUN, GUI_MANAGED (gui_lib.sh),
# PROVE_STATUS=1 for a status line on file descriptor 8.
set -u
set -o pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

tree="" version="" new="" exe="" probe="" dir="" json="" index=1 shot="" healing=1
while [ $# -gt 0 ]; do
    case $1 in
    --no-healing) healing=0; shift; continue ;;
    esac
    [ $# -ge 2 ] || { echo "prove.sh: $1 needs a value" >&2; exit 2; }
    case $1 in
    --tree) tree=$2 ;;
    --version) version=$2 ;;
    --new) new=$2 ;;
    --updater) exe=$2 ;;
    --probe) probe=$2 ;;
    --work) dir=$2 ;;
    --json) json=$2 ;;
    --index) index=$2 ;;
    --shot) shot=$2 ;;
    *) echo "prove.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
for v in tree version new exe probe dir json; do
    [ -n "${!v}" ] || { echo "prove.sh: --${v/exe/updater} missing" >&2; exit 2; }
done

status() {
    [ "${PROVE_STATUS:-0}" = 1 ] || return 0
    local line="[proof $version] $*"
    printf '\r\033[K%s' "${line:0:150}" >&8
}
log() { echo "[$(date +%T.%3N)] $*"; }

# --- the result ----------------------------------------------------------------
expect_pit=kept
case $version in 1.0.*) expect_pit=removed ;; esac
R_ok=false R_failure="" R_faults=() R_run_ms="" R_title="" R_message=""
H_ran=0 H_ok=false H_failure="" H_faults=() H_killed_after_ms="" H_backups="" H_finished=false
write_json() {
    local IFS=$'\n'
    R_FAULTS="${R_faults[*]}" H_FAULTS="${H_faults[*]}" \
        python3 - "$json" "$tree" "$version" "$R_run_ms" "$R_title" "$R_message" "$expect_pit" \
        "$R_ok" "$R_failure" "$H_ran" "$H_ok" "$H_killed_after_ms" "$H_backups" "$H_finished" \
        "$H_failure" <<'EOF'
import json, os, sys
(out, path, version, run_ms, title, message, pit, ok, failure,
 h_ran, h_ok, killed, backups, finished, h_failure) = sys.argv[1:]
def num(v): return int(v) if v else None
def lines(name): return [l for l in os.environ.get(name, "").split("\n") if l]
# A proof that stopped without saying why (Wine could not start, a signal)
# still fails with a line.
def why(ok, failure):
    return None if ok else failure or "the proof stopped before its end; see its log"
tree = {"path": path, "version": version, "run_ms": num(run_ms), "title": title,
        "message": message, "pit": pit, "ok": ok == "true", "failure": why(ok == "true", failure),
        "faults": lines("R_FAULTS"), "healing": None}
if h_ran == "1":
    tree["healing"] = {"ok": h_ok == "true", "killed_after_ms": num(killed),
                       "backups_at_kill": num(backups), "finished_before_kill": finished == "true",
                       "failure": why(h_ok == "true", h_failure), "faults": lines("H_FAULTS")}
with open(out, "w", encoding="utf-8") as f:
    json.dump(tree, f, ensure_ascii=False, indent=2)
    f.write("\n")
EOF
}
finish() {
    local code=$?
    [ -n "${watch_pid:-}" ] && watch_stop
    if [ -n "${killer:-}" ]; then
        pkill -P "$killer" 2>/dev/null
        kill "$killer" 2>/dev/null
    fi
    write_json || code=1
    type gui_cleanup >/dev/null 2>&1 && gui_cleanup
    exit "$code"
}
trap finish EXIT
# fail TEXT: the proof under way (plain or healing) failed; stop here.
fail() {
    log "FAILED: $*"
    if [ "$H_ran" = 1 ]; then H_failure=$*; else R_failure=$*; fi
    exit 1
}

plural() { if [ "$1" = 1 ]; then echo "1 $2"; else echo "$1 $2s"; fi; }

source "$root/tools/guidriver/gui_lib.sh"
source "$root/tools/guidriver/updater_lib.sh"
gui_fail() { fail "$*"; }

seed=${RELEASE_SEED:-$RANDOM}
RANDOM=$((seed + index))
log "proof of $exe on $tree ($version); kill seed $seed (RELEASE_SEED)"

# Wine's server folder goes with the rest of the run.
mkdir -p "$dir/tmp"
export TMPDIR=$dir/tmp
# The loader follows the updater's machine: 64-bit Wine for an x86_64 build.
export UPDATER=$exe
status "fresh Wine prefix"
gui_start "$dir/gui"
trap finish EXIT
C=$(gui_c_drive)
install=$C/Varnelo
pit=$install/save/pit

# Pit data as a player's would have: not part of any release tree.
pit_bytes() { head -c $((1000 * $1 + index)) /dev/zero | tr '\0' "$1"; }

# install_tree: the older tree at C:\Varnelo with its pit data, registered,
# then RELEASE_BEFORE_RUN.
install_tree() {
    status "installing $tree"
    if [ -e "$install" ]; then
        chmod -R u+w "$install" && rm -rf "$install" || fail "cannot remove the previous installation"
    fi
    cp -a "$tree" "$install" || fail "cannot copy the tree into the prefix"
    local k
    mkdir -p "$pit"
    for k in 1 2 3; do
        pit_bytes "$k" >"$pit/player_car0$k.ptd"
    done
    chmod a-w "$pit/player_car03.ptd"
    register 'C:\Varnelo\VRNL.exe'
    if [ -n "${RELEASE_BEFORE_RUN:-}" ]; then
        bash -c "$RELEASE_BEFORE_RUN" release-hook "$tree" "$install" ||
            fail "RELEASE_BEFORE_RUN failed"
    fi
}

# --- what the updater changes in the tree, with the time of each change ---------
# watch_start FILE: every change in the installed tree as "SECONDS EVENT PATH"
# lines on FILE, except the pit data the version gate removes. Returns once
# the watches are in place.
watch_start() {
    local events=$1 fifo=$dir/watch.fifo
    rm -f "$fifo" "$dir/watch.err"
    mkfifo "$fifo"
    inotifywait -m -r -e create,moved_to,close_write,delete --format '%e %w%f' "$install" \
        >"$fifo" 2>"$dir/watch.err" &
    watch_pid=$!
    local line
    while IFS= read -r line; do
        case ${line,,} in */save/pit/*.ptd) continue ;; esac
        printf '%s %s\n' "$EPOCHREALTIME" "$line"
    done <"$fifo" >"$events" &
    stamp_pid=$!
    until grep -q "Watches established" "$dir/watch.err" 2>/dev/null; do
        kill -0 "$watch_pid" 2>/dev/null || fail "inotifywait cannot watch the installation: $(cat "$dir/watch.err")"
        sleep 0.01
    done
}
watch_stop() {
    kill "$watch_pid" 2>/dev/null
    wait "$watch_pid" "$stamp_pid" 2>/dev/null
    watch_pid=""
}
# ms_between T0 T1 (seconds with a fraction, as EPOCHREALTIME)
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%d", (b - a) * 1000 + 0.5 }'; }

# --- one run of the updater ----------------------------------------------------
# confirm [COMMAND]: starts the updater and presses OK in its confirmation
# (after COMMAND, when given); the pid in pid, the time of OK in t_ok.
confirm() {
    status "running the updater"
    gui_run "$dir/run.out" "$exe"
    pid=$GUI_LAST
    local window="" limit=$((SECONDS + 180))
    # The confirmation, unless the updater shows a message instead.
    until window=$(gui_find "$CONFIRM" 1); do
        gui_absent "エラー" || fail "a message instead of the confirmation; $(shown)"
        kill -0 "$pid" 2>/dev/null || fail "the updater exited without its confirmation; $(shown)"
        [ $SECONDS -lt $limit ] || fail "no confirmation dialog \"$CONFIRM\" within 180 s; $(shown)"
    done
    [ $# -eq 0 ] || "$@"
    status "confirming"
    gui_key "$window" Return
    t_ok=$EPOCHREALTIME
}

# shown: the windows on the screen and the text of a message box among them,
# for a failure's line.
shown() {
    local title text
    for title in "エラー" "情報"; do
        gui_absent "$title" && continue
        read_box "$title"
        printf 'message box %s: "%s"; ' "$title" "$text"
    done
    printf 'windows: %s' "$(gui_windows)"
}
# read_box TITLE: the text of the message box with that title in text, read
# through the probe (the box may belong to another process).
read_box() {
    local seen hex
    seen=$("$WINE" "$probe" readbox "$(utf8_hex "$1")" 2>/dev/null | tr -d '\r')
    hex=$(sed -n 's/.*text=\([0-9a-f]*\).*/\1/p' <<<"$seen")
    text=$(printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" | tr '\n' ' ')
    text=${text% }
}

# finish_run [SHOT]: waits for the outcome message, reads it, closes it and
# waits for the updater to exit. Sets run_ms, title and message. With SHOT,
# takes a screenshot of the progress window there if none exists yet.
finish_run() {
    local want_shot=${1:-} limit=$((SECONDS + 1800)) box="" progress="" t_box
    title=""
    while [ $SECONDS -lt $limit ]; do
        for title in "情報" "エラー"; do
            gui_absent "$title" || { box=$(gui_find "$title" 1) && break 2; }
        done
        title=""
        if [ -n "$want_shot" ] && [ -z "$progress" ] && [ ! -f "$want_shot" ] && ! gui_absent "$PROGRESS"; then
            # Kept only when the window was still there after the capture.
            progress=$(gui_find "$PROGRESS" 1) && gui_shot "$progress" "$dir/progress.png" &&
                ! gui_absent "$PROGRESS" && mv "$dir/progress.png" "$want_shot" &&
                log "screenshot of the progress window kept"
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    t_box=$EPOCHREALTIME
    [ -n "$box" ] || fail "no outcome message (updater $(kill -0 "$pid" 2>/dev/null && echo still running || echo exited)); $(shown)"
    run_ms=$(ms_between "$t_ok" "$t_box")
    read_box "$title"
    message=$text
    log "outcome after $run_ms ms: $title $message"
    status "outcome: $title $message"
    gui_key "$box" Return
    gui_wait_exit "$pid" 120 || fail "the updater exited with code $?"
}

# compare: the installation against the new tree, the pit data as expected
# and no temporary file left; the differences in the array faults.
compare() {
    faults=()
    declare -A want=()
    local rel key k
    while IFS= read -r -d '' rel; do
        rel=${rel#./}
        want[${rel,,}]=$new/$rel
    done < <(cd "$new" && find . -type f -print0)
    while IFS= read -r -d '' rel; do
        rel=${rel#./}
        key=${rel,,}
        case $key in
        save/pit/player_car0[123].ptd)
            k=${key:20:1}
            if [ "$expect_pit" = removed ]; then
                faults+=("$rel: pit data of a 1.0 tree still present")
            elif ! cmp -s "$install/$rel" <(pit_bytes "$k"); then
                faults+=("$rel: pit data changed")
            fi
            continue
            ;;
        esac
        if [ -z "${want[$key]+set}" ]; then
            faults+=("$rel: not in the new tree")
        elif ! cmp -s "$install/$rel" "${want[$key]}"; then
            faults+=("$rel: differs from the new tree")
        fi
        unset "want[$key]"
    done < <(cd "$install" && find . -type f -print0 | sort -z)
    for key in "${!want[@]}"; do
        faults+=("${want[$key]#"$new"/}: missing")
    done
    if [ "$expect_pit" = kept ]; then
        for k in 1 2 3; do
            [ -f "$pit/player_car0$k.ptd" ] ||
                faults+=("save/pit/player_car0$k.ptd: pit data removed from a tree after 1.0")
        done
    fi
    local temp
    temp=$(gui_temp_files)
    [ -z "$temp" ] || faults+=("temporary file left: ${temp#"$C"/}")
}

# verdict FAULTS...: fails unless the outcome was the completion message and
# nothing differs.
verdict() {
    [ "$title" = "情報" ] || fail "the outcome was \"$message\", not the completion message"
    [ $# -eq 0 ] || fail "$(plural $# file) not as the new tree has them"
}

# --- the plain proof -------------------------------------------------------------
install_tree
watch_start "$dir/events-plain"
confirm
finish_run "$shot"
watch_stop
R_run_ms=$run_ms R_title=$title R_message=$message
compare
R_faults=("${faults[@]}")
for f in "${faults[@]}"; do log "fault: $f"; done
verdict "${faults[@]}"
R_ok=true
log "plain proof passed"
[ "$healing" = 1 ] || exit 0

# arm_kill DELAY_MS: a watcher that kills the updater (pid) DELAY_MS after
# its first change in the installed tree, and leaves the times of that change
# and of the kill in kill.times (kill.began as soon as it has seen the
# change); returns once it watches. It reacts on its
# own, so that the kill falls inside even a short patch phase.
arm_kill() {
    local delay=$1 pause
    printf -v pause '%d.%03d' $((delay / 1000)) $((delay % 1000))
    rm -f "$dir/kill.err" "$dir/kill.began" "$dir/kill.times"
    (
        inotifywait -r -e create,moved_to,close_write,delete --excludei '/save/pit/[^/]*\.ptd$' \
            "$install" >/dev/null 2>"$dir/kill.err" || exit 1
        begun=$EPOCHREALTIME
        : >"$dir/kill.began"
        [ "$delay" -eq 0 ] || sleep "$pause"
        kill -9 "$pid"
        echo "$begun $EPOCHREALTIME" >"$dir/kill.times"
    ) &
    killer=$!
    until grep -q "Watches established" "$dir/kill.err" 2>/dev/null; do
        kill -0 "$killer" 2>/dev/null || fail "inotifywait cannot watch the installation: $(cat "$dir/kill.err")"
        sleep 0.01
    done
}

# --- the healing proof -----------------------------------------------------------
# The time the plain run spent changing the tree bounds the kill delay.
H_ran=1
first=$(head -1 "$dir/events-plain" | cut -d' ' -f1)
last=$(tail -1 "$dir/events-plain" | cut -d' ' -f1)
[ -n "$first" ] || fail "the plain run changed nothing in the installed tree, so there is no patching to interrupt"
patch_ms=$(ms_between "$first" "$last")
log "healing: the plain run changed the tree for $patch_ms ms ($(wc -l <"$dir/events-plain") changes)"
for try in 1 2 3; do
    case $try in
    1) delay=$((RANDOM % (patch_ms + 1))) ;;
    2) delay=$((RANDOM % (patch_ms / 4 + 1))) ;;
    3) delay=0 ;;
    esac
    install_tree
    confirm arm_kill "$delay"
    status "healing: waiting for patching to begin, then $delay ms"
    limit=$((SECONDS + 1800))
    # The updater waits at its outcome message: it exits before the kill
    # only when it fails on its own.
    until [ -s "$dir/kill.times" ]; do
        kill -0 "$killer" 2>/dev/null || [ -s "$dir/kill.times" ] ||
            fail "the kill did not happen (try $try): $(cat "$dir/kill.err")"
        kill -0 "$pid" 2>/dev/null || [ -f "$dir/kill.began" ] ||
            fail "the updater exited before it changed the tree (try $try); $(shown)"
        [ $SECONDS -lt $limit ] || fail "the updater changed nothing in the tree within 1800 s (try $try)"
        sleep 0.1
    done
    wait "$pid" "$killer" 2>/dev/null
    read -r begun t_kill <"$dir/kill.times"
    H_killed_after_ms=$(ms_between "$begun" "$t_kill")
    H_backups=$(find "$install" -iname '*.bak' | wc -l)
    # The killed process's windows go with it; should any stay, the whole
    # prefix's processes go.
    if ! gui_gone "$PROGRESS" 10 || ! gui_gone "$CONFIRM" 1; then
        log "healing: windows left after the kill; wineserver -k"
        "$WINESERVER" -k 2>/dev/null
        gui_session
    fi
    # A killed process cannot remove its temporary file.
    while IFS= read -r f; do
        [ -n "$f" ] || continue
        log "healing: removed the temporary file the killed run left: ${f#"$C"/}"
        rm -f "$f"
    done < <(gui_temp_files)
    compare
    if [ ${#faults[@]} -gt 0 ]; then
        H_finished=false
        log "healing: try $try killed the updater $H_killed_after_ms ms after patching began ($delay ms drawn): $(plural "$H_backups" backup) and $(plural ${#faults[@]} file) not yet as the new tree:"
        for f in "${faults[@]}"; do log "  $f"; done
        break
    fi
    H_finished=true
    log "healing: try $try ($delay ms drawn): the tree was already the new one when killed $H_killed_after_ms ms after patching began"
done
confirm
finish_run
compare
H_faults=("${faults[@]}")
for f in "${faults[@]}"; do log "healing fault: $f"; done
verdict "${faults[@]}"
H_ok=true
log "healing proof passed"
exit 0
