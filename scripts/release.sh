#!/usr/bin/env bash
# vnpatch release: a release of varnelo_update.exe in one command, proven on
# every older tree before it ships.
#
#   release.sh --old DIR [--old DIR ...] --new DIR -o OUTDIR
#              [--sign-cert FILE --sign-key FILE]
#
# Builds the archive from the older trees to the new one, compresses it to
# SZDD and verifies it against each older tree; builds the 32-bit updater
# with it embedded (signed with Authenticode when given a certificate and
# key); then, for each older tree, installs it into a fresh Wine prefix,
# registers it under App Paths, seeds it with pit data, runs the updater
# under Xvfb, confirms, reads the outcome message and compares the
# installation byte for byte with the new tree. OUTDIR gets the executable,
# the archive (.cf00 and .szdd), SHA256SUMS and the report (report.md,
# report.html, progress.png). When a proof fails, OUTDIR holds the report
# and, under rejected/, what was built; the exit code is 1.
#
# Environment: RELEASE_BUILD, the build folder (default build/release of the
# source tree; it is locked while a release builds in it); RELEASE_HOST_BUILD,
# a native build of this source to take the build machine's tools from
# (default RELEASE_BUILD/host); JOBS, parallel
# build jobs (default 2); RELEASE_BEFORE_RUN, a command run with the older
# tree and the host path of its installed copy just before the updater
# starts (tests use it to damage one copy).
set -u
set -o pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prog="vnpatch release"

usage() {
    echo "usage: $prog --old DIR [--old DIR ...] --new DIR -o OUTDIR [--sign-cert FILE --sign-key FILE]" >&2
    exit 2
}
die() {
    end_status
    echo "$prog: $*" >&2
    exit 1
}

# Progress on a terminal only: one line, rewritten, on fd 8 (the terminal
# even where a step's own output goes to a log).
on_tty=0
[ -t 2 ] && on_tty=1
exec 8>&2
status_shown=0
status() {
    [ "$on_tty" = 1 ] || return 0
    local line="$*"
    printf '\r\033[K%s' "${line:0:150}" >&8
    status_shown=1
}
end_status() {
    if [ "$status_shown" = 1 ]; then
        printf '\r\033[K' >&8
        status_shown=0
    fi
}

olds=()
new=""
out=""
cert=""
key=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --old) olds+=("$2") ;;
    --new) [ -z "$new" ] || usage; new=$2 ;;
    -o) [ -z "$out" ] || usage; out=$2 ;;
    --sign-cert) cert=$2 ;;
    --sign-key) key=$2 ;;
    *) usage ;;
    esac
    shift 2
done
[ ${#olds[@]} -gt 0 ] && [ -n "$new" ] && [ -n "$out" ] || usage
if [ -n "$cert$key" ]; then
    [ -n "$cert" ] && [ -n "$key" ] || die "--sign-cert and --sign-key go together"
    [ -r "$cert" ] || die "certificate $cert: not a readable file"
    [ -r "$key" ] || die "key $key: not a readable file"
    cert=$(realpath "$cert")
    key=$(realpath "$key")
fi

# --- the inputs, before anything is built ----------------------------------
[ -d "$new" ] || die "new tree $new: not a folder"
new=$(realpath "$new")
for i in "${!olds[@]}"; do
    [ -d "${olds[$i]}" ] || die "older tree ${olds[$i]}: not a folder"
    olds[$i]=$(realpath "${olds[$i]}")
    [ "${olds[$i]}" != "$new" ] || die "older tree ${olds[$i]} is the new tree"
done
out_parent=$(dirname "$out")
[ -d "$out_parent" ] || die "$out: its folder $out_parent does not exist"
out=$(realpath -m "$out")
for tree in "$new" "${olds[@]}"; do
    case "$out/" in "$tree"/*) die "OUTDIR $out lies inside the tree $tree" ;; esac
    case "$tree/" in "$out"/*) die "OUTDIR $out holds the tree $tree" ;; esac
done
if [ -e "$out" ] || [ -L "$out" ]; then
    [ -d "$out" ] && [ ! -L "$out" ] || die "$out exists and is not a folder"
    if [ -n "$(ls -A "$out")" ] && [ ! -f "$out/.vnpatch-release" ]; then
        die "$out exists and holds something other than a release; choose another OUTDIR or empty it"
    fi
fi

# The release's own build folder, one release at a time.
build=${RELEASE_BUILD:-$root/build/release}
jobs=${JOBS:-2}
mkdir -p "$build" || die "cannot create the build folder $build"
build=$(realpath "$build")
exec 9>"$build/lock"
if ! flock -n 9; then
    status "waiting for another release building in $build"
    flock 9
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vnpatch-release.XXXXXX") || die "cannot create a work folder"
stage=$(mktemp -d "$out_parent/.$(basename "$out").staging.XXXXXX") || die "cannot write in $out_parent"
cleanup() {
    rm -rf "$work" "$stage"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$stage/logs"

# One host build serves the release: its vnpatch makes the archive, and the
# Windows build below takes its build-machine tools from it.
host=${RELEASE_HOST_BUILD:-$build/host}
status "[tools] building vnpatch in $host"
if [ ! -f "$host/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELO_TESTS=OFF \
        -DVARNELO_BENCH=OFF >"$stage/logs/host.configure.log" 2>&1 ||
        die "cannot configure the host tools; see $stage/logs/host.configure.log: $(tail -5 "$stage/logs/host.configure.log")"
fi
cmake --build "$host" -j "$jobs" --target vnpatch >"$stage/logs/host.build.log" 2>&1 ||
    die "cannot build vnpatch: $(tail -20 "$stage/logs/host.build.log")"
vnpatch=$host/tools/vnpatch/vnpatch

plural() { if [ "$1" = 1 ]; then echo "1 $2"; else echo "$1 $2s"; fi; }

# Versions from the VRNL.exe version records.
tree_version() {
    [ -f "$1/VRNL.exe" ] || { echo "no VRNL.exe"; return 1; }
    "$vnpatch" version "$1/VRNL.exe" 2>&1 | sed 's/^vnpatch: [^:]*: //'
}
new_version=$(tree_version "$new") || die "new tree $new: $new_version"
# A record holds a file whole in under 2 GB (build checks the exact limit);
# anything from 2 GB up is refused before the trees are read.
huge=$(find "$new" -type f -size +2147483647c -printf '%P (%s bytes)\n' | head -3)
[ -z "$huge" ] || die "new tree $new: too large for the patch format (a record holds under 2 GB): $huge"
versions=()
for i in "${!olds[@]}"; do
    tree=${olds[$i]}
    status "[inputs] $tree"
    if diff -rq "$tree" "$new" >/dev/null 2>&1; then
        die "older tree $tree holds the same files as the new tree $new"
    fi
    v=$(tree_version "$tree") || die "older tree $tree: $v"
    [ "$v" != "$new_version" ] || die "older tree $tree is at the new tree's version $v"
    for j in "${!versions[@]}"; do
        [ "${versions[$j]}" != "$v" ] ||
            die "older trees ${olds[$j]} and $tree are both at version $v"
    done
    versions+=("$v")
done

# --- the archive -------------------------------------------------------------
old_args=()
for tree in "${olds[@]}"; do old_args+=(--old "$tree"); done
end_status
[ "$on_tty" = 1 ] && echo "[archive] vnpatch build: ${#olds[@]} older trees to $new_version" >&2
"$vnpatch" build "${old_args[@]}" --new "$new" -o "$stage/patch.cf00" >"$stage/logs/build.txt" ||
    die "vnpatch build failed (see above); nothing released"
status "[archive] compressing to SZDD"
"$vnpatch" compress "$stage/patch.cf00" "$stage/patch.szdd" 2>"$work/compress.err" ||
    die "$(cat "$work/compress.err")"
for i in "${!olds[@]}"; do
    status "[verify] ${versions[$i]} (${olds[$i]})"
    log=$stage/logs/verify-$((i + 1)).txt
    if ! "$vnpatch" verify "$stage/patch.szdd" "${olds[$i]}" >"$log" 2>&1; then
        die "vnpatch verify against older tree ${olds[$i]} (${versions[$i]}) fails; nothing released:
$(grep -E 'FAIL|would fail|not at their new version|^  |archive:' "$log" | head -20)"
    fi
done

# --- the executable ----------------------------------------------------------
# The archive sits at one path in the build folder, so that the build is
# configured once and only re-embeds it and links.
status "[updater] configuring the Windows build in $build/windows"
mkdir -p "$build/payload"
cp "$stage/patch.szdd" "$build/payload/patch.szdd" || die "cannot copy the archive into $build"
if [ ! -f "$build/windows/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DVARNELO_BENCH=OFF \
        -DVARNELO_HOST_BUILD="$host" \
        -DVARNELO_PATCH_ARCHIVE="$build/payload/patch.szdd" >"$stage/logs/windows.configure.log" 2>&1 ||
        die "cannot configure the Windows build: $(tail -10 "$stage/logs/windows.configure.log")"
fi
status "[updater] building varnelo_update.exe"
cmake --build "$build/windows" -j "$jobs" --target varnelo_update ui_probe \
    >"$stage/logs/windows.build.log" 2>&1 ||
    die "cannot build the updater: $(tail -20 "$stage/logs/windows.build.log")"
cp "$build/windows/tests/win/ui_probe.exe" "$work/ui_probe.exe" || die "cannot copy ui_probe.exe"
probe=$work/ui_probe.exe
exe=$stage/varnelo_update.exe
if [ -n "$cert" ]; then
    status "[updater] signing with $cert"
    osslsigncode sign -certs "$cert" -key "$key" -n "Varnelo Update 1.1.0.3" -h sha256 \
        -in "$build/windows/updater/varnelo_update.exe" -out "$exe" >"$stage/logs/sign.log" 2>&1 ||
        die "osslsigncode cannot sign the updater: $(tail -5 "$stage/logs/sign.log")"
    if osslsigncode verify -in "$exe" >"$stage/logs/signature.txt" 2>&1; then
        signature="signed; osslsigncode verify: the signature and its chain verify"
    elif osslsigncode verify -in "$exe" -CAfile "$cert" >"$stage/logs/signature.txt" 2>&1; then
        signature="signed; osslsigncode verify: the signature verifies against the given certificate, which this system does not trust (a test or self-signed certificate)"
    else
        die "the signed updater does not verify: $(grep -i -E 'error|fail' "$stage/logs/signature.txt" | head -5)"
    fi
    subject=$(openssl x509 -in "$cert" -noout -subject 2>/dev/null | sed 's/^subject= *//')
    [ -n "$subject" ] && signature="$signature; subject: $subject"
else
    cp "$build/windows/updater/varnelo_update.exe" "$exe" || die "cannot copy the updater"
    signature="unsigned (no --sign-cert/--sign-key given): players see an unknown-publisher warning"
fi
(cd "$stage" && sha256sum varnelo_update.exe patch.cf00 patch.szdd >SHA256SUMS) ||
    die "cannot write SHA256SUMS"
# The build folder is free again; the proof uses the copies.
flock -u 9
exec 9>&-

# --- the proof ---------------------------------------------------------------
# One subshell per older tree, each with its own Xvfb and a fresh prefix:
# prove N TREE VERSION [FOLDER under the work folder, default proof-N].
# Results go to $work/proof-N/result as "key<TAB>value" lines.
prove() {
    local n=$1 tree=$2 version=$3
    local dir=$work/${4:-proof-$n}
    local result=$dir/result
    mkdir -p "$dir/tmp"
    : >"$result"
    # Wine's server folder goes with the rest of the run.
    export TMPDIR=$dir/tmp
    put() { printf '%s\t%s\n' "$1" "$2" >>"$result"; }
    fail() { put failure "$*"; exit 1; }
    source "$root/tests/win/gui_lib.sh"
    source "$root/tests/win/updater_lib.sh"
    gui_fail() { fail "$*"; }
    status "[proof $version] fresh Wine prefix"
    gui_start "$dir/gui"
    local c install
    c=$(gui_c_drive)
    install=$c/Varnelo
    status "[proof $version] installing $tree"
    cp -a "$tree" "$install" || fail "cannot copy the tree into the prefix"
    # Pit data as a player's would have: not part of any release tree.
    local pit=$install/save/pit k
    pit_bytes() { head -c $((1000 * $1 + n)) /dev/zero | tr '\0' "$1"; }
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
    status "[proof $version] running varnelo_update.exe"
    local start t0 t1
    start=$(date +%s%N)
    gui_run "$dir/run.out" "$exe"
    local pid=$GUI_LAST window box="" title=""
    window=$(gui_find "$CONFIRM" 180) || fail "no confirmation dialog \"$CONFIRM\" within 180 s; windows: $(gui_windows)"
    status "[proof $version] confirming"
    gui_key "$window" Return
    t0=$(date +%s%N)
    # Until the outcome message: a screenshot of the progress window, if no
    # run has one yet and this one shows it long enough.
    local limit=$((SECONDS + 1800)) progress="" shot=$work/progress.png
    while [ $SECONDS -lt $limit ]; do
        for title in "情報" "エラー"; do
            gui_absent "$title" || { box=$(gui_find "$title" 1) && break 2; }
        done
        if [ -z "$progress" ] && [ ! -f "$shot" ] && ! gui_absent "$PROGRESS"; then
            # Kept only when the window was still there after the capture.
            progress=$(gui_find "$PROGRESS" 1) && gui_shot "$progress" "$dir/progress.png" &&
                ! gui_absent "$PROGRESS" && mv "$dir/progress.png" "$shot"
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    t1=$(date +%s%N)
    [ -n "$box" ] || fail "no outcome message (updater $(kill -0 "$pid" 2>/dev/null && echo still running || echo exited)); windows: $(gui_windows)"
    put seconds "$(((t1 - t0) / 1000000))"
    local seen hex text
    seen=$("$WINE" "$probe" readbox "$(sjis_hex "$title")" 2>/dev/null | tr -d '\r')
    hex=$(sed -n 's/.*text=\([0-9a-f]*\).*/\1/p' <<<"$seen")
    text=$(printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" | iconv -f CP932 -t UTF-8 2>/dev/null | tr '\n' ' ')
    put title "$title"
    put message "${text% }"
    status "[proof $version] outcome: $title ${text% }"
    gui_key "$box" Return
    gui_wait_exit "$pid" 120 || fail "the updater exited with code $?"
    put total "$((($(date +%s%N) - start) / 1000000))"

    # The installation against the new tree, plus the pit data on trees
    # after 1.0.
    local expect_pit=kept
    case $version in 1.0.*) expect_pit=removed ;; esac
    put pit_expected "$expect_pit"
    local faults=()
    declare -A want=()
    local rel key
    while IFS= read -r -d '' rel; do
        rel=${rel#./}
        want[${rel,,}]=$new/$rel
    done < <(cd "$new" && find . -type f -print0)
    while IFS= read -r -d '' rel; do
        rel=${rel#./}
        key=${rel,,}
        status "[proof $version] comparing $rel"
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
    [ -z "$temp" ] || faults+=("temporary file left: ${temp#"$c"/}")
    put faults "${#faults[@]}"
    local f
    for f in "${faults[@]}"; do put fault "$f"; done
    [ "$title" = "情報" ] || fail "the outcome was \"${text% }\", not the completion message"
    [ ${#faults[@]} -eq 0 ] || fail "$(plural ${#faults[@]} file) not as the new tree has them"
    put ok 1
}

failed=()
for i in "${!olds[@]}"; do
    n=$((i + 1))
    (prove "$n" "${olds[$i]}" "${versions[$i]}") >"$work/proof-$n.log" 2>&1 </dev/null
    mkdir -p "$work/proof-$n"
    touch "$work/proof-$n/result"
    cp "$work/proof-$n.log" "$stage/logs/proof-$n.log" 2>/dev/null
    grep -q $'^ok\t1$' "$work/proof-$n/result" || failed+=("$i")
    rm -rf "$work/proof-$n/gui" "$work/proof-$n/tmp"
done
# A small release closes its progress window at the first tick after the
# patch phase (0.1 s), too soon to capture it. When no run above kept a
# screenshot, the first tree that passed runs once more with Wine's own
# window management, whose wait for a window manager (about 2 s; none runs
# in Xvfb) keeps the window up; that run gives only the screenshot.
if [ ! -f "$work/progress.png" ]; then
    for i in "${!olds[@]}"; do
        grep -q $'^ok\t1$' "$work/proof-$((i + 1))/result" || continue
        (GUI_MANAGED=1 prove $((i + 1)) "${olds[$i]}" "${versions[$i]}" proof-shot) \
            >"$work/proof-shot.log" 2>&1 </dev/null
        cp "$work/proof-shot.log" "$stage/logs/proof-shot.log" 2>/dev/null
        rm -rf "$work/proof-shot"
        break
    done
fi
end_status

# --- sizes -------------------------------------------------------------------
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
new_bytes=$(tree_bytes "$new")
exe_bytes=$(stat -c %s "$exe")
# The updater's own code and resources: the executable less its archive.
own_bytes=$(bash "$root/scripts/updater_size.sh" "$exe")
szdd_bytes=$(stat -c %s "$stage/patch.szdd")
cf00_bytes=$(stat -c %s "$stage/patch.cf00")
have_xdelta=0
command -v xdelta3 >/dev/null && have_xdelta=1
# xdelta3 -9 per file from one older tree: changed files against their old
# version, new files on their own; files the same in both cost nothing.
# -D -R: bytes as they are, gzip files are not unpacked.
xdelta_bytes() {
    local tree=$1 total=0 rel size
    while IFS= read -r -d '' rel; do
        rel=${rel#./}
        status "[sizes] xdelta3 -9 $rel"
        if [ -f "$tree/$rel" ]; then
            cmp -s "$tree/$rel" "$new/$rel" && continue
            size=$(xdelta3 -9 -D -R -e -c -s "$tree/$rel" "$new/$rel" 2>>"$stage/logs/xdelta3.log" | wc -c)
        else
            size=$(xdelta3 -9 -D -R -e -c "$new/$rel" 2>>"$stage/logs/xdelta3.log" | wc -c)
        fi
        total=$((total + size))
    done < <(cd "$new" && find . -type f -print0)
    echo "$total"
}
xdeltas=()
for i in "${!olds[@]}"; do
    if [ "$have_xdelta" = 1 ]; then xdeltas+=("$(xdelta_bytes "${olds[$i]}")"); else xdeltas+=(""); fi
done
end_status

# run_time N: the time of tree N's run under Wine ("6.3 s"), or nothing.
run_time() {
    local ms
    ms=$(get "$1" seconds)
    [ -z "$ms" ] || awk -v m="$ms" 'BEGIN { printf "%.1f s", m / 1000 }'
}

# --- the report --------------------------------------------------------------
get() { sed -n "s/^$2\t//p" "$work/proof-$1/result" | head -1; }
faults_of() { sed -n 's/^fault\t//p' "$work/proof-$1/result"; }
verify_counts() {
    sed -n 's/^\([0-9]*\) entries: \([0-9]*\) would apply, \([0-9]*\) skip.*/\2 \3/p' \
        "$stage/logs/verify-$1.txt"
}
html_escape() { sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g' <<<"$1"; }
human() { numfmt --to=iec-i --suffix=B --format='%.1f' "$1" 2>/dev/null || echo "$1 B"; }
[ -f "$work/progress.png" ] && cp "$work/progress.png" "$stage/progress.png"
verdict="passed: every older tree updates to the new tree"
[ ${#failed[@]} -eq 0 ] || verdict="FAILED for ${#failed[@]} of ${#olds[@]} older trees"
records=$(sed -n 's/^\([0-9]*\) records.*/\1/p' "$stage/logs/build.txt")
when=$(date -u '+%Y-%m-%d %H:%M UTC')

{
    echo "# Varnelo release: $new_version"
    echo
    echo "Result: **$verdict**."
    echo
    echo "- new tree: \`$new\` ($new_version, $(find "$new" -type f | wc -l) files, $new_bytes bytes)"
    echo "- archive: $records records; patch.cf00 $cf00_bytes bytes, patch.szdd $szdd_bytes bytes"
    echo "- varnelo_update.exe: $exe_bytes bytes ($own_bytes of its own, the rest the archive), $signature"
    echo "- made $when"
    echo
    echo "| older tree | version | records applied / passed over | tree bytes | xdelta3 -9 per file | run under Wine | outcome message | comparison |"
    echo "|---|---|---|---|---|---|---|---|"
    for i in "${!olds[@]}"; do
        n=$((i + 1))
        read -r applied skipped <<<"$(verify_counts "$n")"
        nf=$(get "$n" faults)
        if grep -q $'^ok\t1$' "$work/proof-$n/result"; then
            cmpres="same as the new tree; pit data $(get "$n" pit_expected)"
        elif [ -n "$nf" ] && [ "$nf" != 0 ]; then
            cmpres="**$(plural "$nf" file) differ$([ "$nf" = 1 ] && echo s)**: $(faults_of "$n" | head -10 | paste -sd ';' | sed 's/;/; /g')"
        else
            cmpres="**failed**: $(get "$n" failure)"
        fi
        echo "| \`${olds[$i]}\` | ${versions[$i]} | ${applied:-?} / ${skipped:-?} | $(tree_bytes "${olds[$i]}") | ${xdeltas[$i]:-not installed} | $(run_time "$n") | $(get "$n" message) | $cmpres |"
    done
    echo
    echo "Download: every player downloads the one executable ($exe_bytes bytes); the full new tree is $new_bytes bytes."
    echo "Records and their outcome come from \`vnpatch verify\` against each older tree; the run time is"
    echo "from pressing OK in the confirmation until the outcome message appears."
    echo
    if [ -f "$stage/progress.png" ]; then
        echo "![progress window](progress.png)"
    else
        echo "No screenshot of the progress window: every run closed it before it could be captured."
    fi
} >"$stage/report.md"

# HTML: the same table and an SVG bar chart of the download per older version.
{
    max=$new_bytes
    for x in "$exe_bytes" "${xdeltas[@]}"; do
        [ -n "$x" ] && [ "$x" -gt "$max" ] && max=$x
    done
    cat <<EOF
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Varnelo release $new_version</title>
<style>
body { font-family: sans-serif; margin: 2em; color: #222; max-width: 75em; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #bbb; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
th { background: #eee; }
.pass { color: #176117; font-weight: bold; } .fail { color: #b00020; font-weight: bold; }
code { font-size: 0.9em; }
.legend span { display: inline-block; width: 1em; height: 1em; vertical-align: middle; margin: 0 0.3em 0 1em; }
</style></head><body>
<h1>Varnelo release $new_version</h1>
EOF
    if [ ${#failed[@]} -eq 0 ]; then
        echo "<p class=\"pass\">$(html_escape "$verdict")</p>"
    else
        echo "<p class=\"fail\">$(html_escape "$verdict")</p>"
    fi
    echo "<ul><li>new tree: <code>$(html_escape "$new")</code> ($new_version, $new_bytes bytes)</li>"
    echo "<li>archive: $records records; patch.cf00 $cf00_bytes bytes, patch.szdd $szdd_bytes bytes</li>"
    echo "<li>varnelo_update.exe: $exe_bytes bytes ($own_bytes of its own, the rest the archive), $(html_escape "$signature")</li><li>made $when</li></ul>"
    echo "<h2>Download size per older version</h2>"
    echo '<p class="legend"><span style="background:#2b6cb0"></span>varnelo_update.exe'
    echo '<span style="background:#63a4e0"></span>its archive (patch.szdd)'
    [ "$have_xdelta" = 1 ] && echo '<span style="background:#dd8a1e"></span>xdelta3 -9 per file'
    echo '<span style="background:#999"></span>full new tree</p>'
    bar_h=18 group_h=$((4 * 18 + 22)) label_w=170 chart_w=600
    height=$((${#olds[@]} * group_h + 10))
    echo "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"$((label_w + chart_w + 130))\" height=\"$height\" role=\"img\" aria-label=\"download size per older version\">"
    for i in "${!olds[@]}"; do
        y=$((i * group_h + 4))
        echo "<text x=\"0\" y=\"$((y + bar_h + 8))\" font-size=\"14\">${versions[$i]}</text>"
        row=0
        for pair in "$exe_bytes:#2b6cb0:executable" "$szdd_bytes:#63a4e0:archive" "${xdeltas[$i]}:#dd8a1e:xdelta3" "$new_bytes:#999:full tree"; do
            value=${pair%%:*}
            rest=${pair#*:}
            color=${rest%%:*}
            [ -n "$value" ] || continue
            w=$((value * chart_w / max))
            [ "$w" -ge 1 ] || w=1
            by=$((y + row * bar_h))
            echo "<rect x=\"$label_w\" y=\"$by\" width=\"$w\" height=\"$((bar_h - 3))\" fill=\"$color\"><title>${rest#*:}: $value bytes</title></rect>"
            echo "<text x=\"$((label_w + w + 6))\" y=\"$((by + bar_h - 6))\" font-size=\"12\">$(human "$value")</text>"
            row=$((row + 1))
        done
    done
    echo "</svg>"
    echo "<h2>Proof on each older tree</h2><table><tr><th>older tree</th><th>version</th><th>records applied / passed over</th><th>tree bytes</th><th>xdelta3 -9 per file</th><th>run under Wine</th><th>outcome message</th><th>comparison</th></tr>"
    for i in "${!olds[@]}"; do
        n=$((i + 1))
        read -r applied skipped <<<"$(verify_counts "$n")"
        if grep -q $'^ok\t1$' "$work/proof-$n/result"; then
            cmpres="<span class=\"pass\">same as the new tree</span>; pit data $(get "$n" pit_expected)"
        else
            cmpres="<span class=\"fail\">$(html_escape "$(get "$n" failure)")</span>"
            list=$(faults_of "$n" | head -20)
            [ -n "$list" ] && cmpres="$cmpres<ul>$(while IFS= read -r f; do echo "<li>$(html_escape "$f")</li>"; done <<<"$list")</ul>"
        fi
        echo "<tr><td><code>$(html_escape "${olds[$i]}")</code></td><td>${versions[$i]}</td><td>${applied:-?} / ${skipped:-?}</td><td>$(tree_bytes "${olds[$i]}")</td><td>${xdeltas[$i]:-not installed}</td><td>$(run_time "$n")</td><td>$(html_escape "$(get "$n" message)")</td><td>$cmpres</td></tr>"
    done
    echo "</table>"
    echo "<p>Records come from <code>vnpatch verify</code> against each older tree; the run time is from pressing OK in the confirmation until the outcome message appears.</p>"
    if [ -f "$stage/progress.png" ]; then
        echo '<h2>Progress window</h2><p><img src="progress.png" alt="progress window"></p>'
    else
        echo "<p>No screenshot of the progress window: every run closed it before it could be captured.</p>"
    fi
    echo "</body></html>"
} >"$stage/report.html"

# --- into OUTDIR ---------------------------------------------------------------
if [ ${#failed[@]} -gt 0 ]; then
    mkdir -p "$stage/rejected"
    mv "$stage/varnelo_update.exe" "$stage/patch.cf00" "$stage/patch.szdd" "$stage/SHA256SUMS" \
        "$stage/rejected/"
    echo "failed" >"$stage/.vnpatch-release"
else
    echo "released" >"$stage/.vnpatch-release"
fi
if [ -d "$out" ]; then
    mv "$out" "$work/previous" || die "cannot move the previous release $out aside"
fi
mv "$stage" "$out" || die "cannot move the release into $out"

if [ ${#failed[@]} -gt 0 ]; then
    for i in "${failed[@]}"; do
        n=$((i + 1))
        echo "$prog: proof failed for older tree ${olds[$i]} (${versions[$i]}): $(get "$n" failure)" >&2
        faults_of "$n" | sed 's/^/  /' >&2
    done
    echo "$prog: nothing released; report in $out/report.md and $out/report.html" >&2
    exit 1
fi
echo "released $new_version for ${#olds[@]} older trees (${versions[*]}) in $out: varnelo_update.exe $exe_bytes bytes"
