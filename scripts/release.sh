#!/usr/bin/env bash
# vnpatch release: a release of varnelo_update.exe in one command, proven on
# every older tree before it ships.
#
#   release.sh --old DIR [--old DIR ...] --new DIR -o OUTDIR
#              [--sign-cert FILE --sign-key FILE] [--arch i686|x86_64]
#
# Builds the archive from the older trees to the new one, compresses it to
# SZDD and verifies it against each older tree; stamps it into the updater
# stub the project's Windows build links (vnpatch stamp), then signs that
# with Authenticode when given a certificate and key; then
# proves it on each older tree under Wine (scripts/release/prove.sh: a plain
# run compared byte for byte with the new tree, and a run killed while it
# patches, then finished by a second one). OUTDIR gets the executable, the
# archive (.cf00 and .szdd), SHA256SUMS, release.json with every fact and
# result, and the report tools/release/report.py makes of it (report.md,
# report.html, progress.png). When a proof fails, OUTDIR holds the report
# and, under rejected/, what was built; the exit code is 1.
#
# --arch: i686 (the default) is the updater that ships, proven in the i386
# lane (cmake/i386-lane.sh: emulated where the kernel runs no 32-bit
# programs); x86_64 builds the same sources for 64-bit Windows, to test the
# release tool itself (release.json says which).
#
# Environment: RELEASE_BUILD, the release's own folder (default build/release
# of the source tree; it is locked while a release builds in it);
# RELEASE_HOST_BUILD, a native build of this source to take the build
# machine's tools from (default RELEASE_BUILD/host); RELEASE_WINDOWS_BUILD,
# the Windows build whose updater stub is stamped (default the preset's,
# build/windows or build/windows64; made there when missing); JOBS, parallel
# build jobs (default 2); RELEASE_BEFORE_RUN, a command run with the older
# tree and the host path of its installed copy just before the updater
# starts (tests use it to damage one copy); RELEASE_SEED, the seed of the
# healing proofs' kill delays (default random; logs/seed.txt gives it).
set -u
set -o pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prog="vnpatch release"

usage() {
    echo "usage: $prog --old DIR [--old DIR ...] --new DIR -o OUTDIR [--sign-cert FILE --sign-key FILE] [--arch i686|x86_64]" >&2
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
arch=i686
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --old) olds+=("$2") ;;
    --new) [ -z "$new" ] || usage; new=$2 ;;
    -o) [ -z "$out" ] || usage; out=$2 ;;
    --sign-cert) cert=$2 ;;
    --sign-key) key=$2 ;;
    --arch) arch=$2 ;;
    *) usage ;;
    esac
    shift 2
done
[ ${#olds[@]} -gt 0 ] && [ -n "$new" ] && [ -n "$out" ] || usage
case $arch in
i686) windows=windows ;;
x86_64) windows=windows64 ;;
*) die "--arch $arch: i686 (the updater that ships) or x86_64 (a test build)" ;;
esac
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
# Every proof runs in a fresh Wine prefix: copies of one booted once.
export GUI_PREFIX_TEMPLATE=${GUI_PREFIX_TEMPLATE:-$work/prefix-template}
stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").staging.XXXXXX") || die "cannot write in $out_parent"
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
# The proof runs the updater under Wine: an i686 one in the i386 lane, which
# is checked before anything is built.
lane=()
if [ "$arch" = i686 ]; then
    lane=(bash "$root/cmake/i386-lane.sh")
    "${lane[@]}" true 2>"$work/lane.err" ||
        die "cannot prove an i686 updater here: $(sed 's/^i386-lane: //' "$work/lane.err")"
fi
# The updater is the stub of this source, the one the project's Windows build
# links and its tests run, with the archive stamped in: the release compiles
# nothing for it where that build is up to date (the build is made, or brought
# up to date, only where it is missing or behind the source).
winbuild=${RELEASE_WINDOWS_BUILD:-$root/build/$windows}
status "[updater] the stub in $winbuild"
if [ ! -f "$winbuild/CMakeCache.txt" ]; then
    cmake --preset "$windows" -S "$root" -B "$winbuild" -DVARNELO_HOST_BUILD="$host" \
        >"$stage/logs/windows.configure.log" 2>&1 ||
        die "cannot configure the Windows build: $(tail -10 "$stage/logs/windows.configure.log")"
fi
# Several releases (the tests' side by side) may share it: one builds at a time.
(
    flock 7
    cmake --build "$winbuild" -j "$jobs" --target varnelo_update_stub ui_probe
) 7>"$winbuild/.release-lock" >"$stage/logs/windows.build.log" 2>&1 ||
    die "cannot build the updater stub: $(tail -20 "$stage/logs/windows.build.log")"
# A copy, so that the stub hashed is the stub stamped.
cp "$winbuild/updater/varnelo_update_stub.exe" "$work/stub.exe" || die "cannot copy the stub"
stub_sha=$(sha256sum "$work/stub.exe" | cut -d' ' -f1)
source_commit=$(git -C "$root" describe --always --dirty --abbrev=40 2>/dev/null || echo unknown)
status "[updater] stamping the archive into the stub"
"$vnpatch" stamp "$work/stub.exe" "$stage/patch.szdd" -o "$work/stamped.exe" 2>"$work/stamp.err" ||
    die "$(cat "$work/stamp.err")"
cp "$winbuild/tools/guidriver/ui_probe.exe" "$work/ui_probe.exe" || die "cannot copy ui_probe.exe"
probe=$work/ui_probe.exe
exe=$stage/varnelo_update.exe
if [ -n "$cert" ]; then
    status "[updater] signing with $cert"
    osslsigncode sign -certs "$cert" -key "$key" -n "Varnelo Update 1.1.0.3" -h sha256 \
        -in "$work/stamped.exe" -out "$exe" >"$stage/logs/sign.log" 2>&1 ||
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
    cp "$work/stamped.exe" "$exe" || die "cannot copy the updater"
    signature="unsigned (no --sign-cert/--sign-key given): players see an unknown-publisher warning"
fi
(cd "$stage" && sha256sum varnelo_update.exe patch.cf00 patch.szdd >SHA256SUMS) ||
    die "cannot write SHA256SUMS"
# The build folder is free again; the proof uses the copies.
flock -u 9
exec 9>&-

# --- the proof ---------------------------------------------------------------
# scripts/release/prove.sh per older tree, each in its own Xvfb and fresh
# prefix: the plain proof, then the healing proof (killed while patching, run
# again). Each leaves its result as JSON in the work folder.
seed=${RELEASE_SEED:-$RANDOM}
echo "kill seed for the healing proofs: $seed (RELEASE_SEED=$seed repeats the draws)" >"$stage/logs/seed.txt"
prove_status=0
[ "$on_tty" = 1 ] && prove_status=1
# prove N NAME [options]: runs the proof of older tree N in the work folder
# NAME, its log in logs/NAME.log.
prove() {
    local i=$(($1 - 1)) name=$2
    shift 2
    status "[proof ${versions[$i]}] starting"
    RELEASE_SEED=$seed PROVE_STATUS=$prove_status "${lane[@]}" bash "$root/scripts/release/prove.sh" \
        --tree "${olds[$i]}" --version "${versions[$i]}" --new "$new" --updater "$exe" \
        --probe "$probe" --work "$work/$name" --json "$work/$name.json" --index "$((i + 1))" "$@" \
        >"$stage/logs/$name.log" 2>&1 </dev/null
    local code=$?
    [ "$prove_status" = 1 ] && status_shown=1
    rm -rf "$work/$name"
    return $code
}
passed=()
for i in "${!olds[@]}"; do
    n=$((i + 1))
    prove "$n" "proof-$n" --shot "$work/progress.png" && passed+=("$n")
done
# A small release closes its progress window at the first tick after the
# patch phase (0.1 s), too soon to capture it. When no run above kept a
# screenshot, the first tree that passed runs once more with Wine's own
# window management, whose wait for a window manager (about 2 s; none runs
# in Xvfb) keeps the window up; that run gives only the screenshot.
if [ ! -f "$work/progress.png" ] && [ ${#passed[@]} -gt 0 ]; then
    GUI_MANAGED=1 prove "${passed[0]}" proof-shot --shot "$work/progress.png" --no-healing
fi
end_status

# --- sizes -------------------------------------------------------------------
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
exe_bytes=$(stat -c %s "$exe")
# The updater's own code and resources: the executable less its archive.
own_bytes=$(VNPATCH=$vnpatch bash "$root/scripts/updater_size.sh" "$exe")
[ -f "$work/progress.png" ] && cp "$work/progress.png" "$stage/progress.png"
tree_args=()
for i in "${!olds[@]}"; do
    n=$((i + 1))
    read -r applied skipped <<<"$(sed -n 's/^\([0-9]*\) entries: \([0-9]*\) would apply, \([0-9]*\) skip.*/\2 \3/p' \
        "$stage/logs/verify-$n.txt")"
    # The optional comparison: what xdelta3 -9 would send per file.
    xdelta=""
    if command -v xdelta3 >/dev/null; then
        status "[sizes] xdelta3 -9 per file from ${versions[$i]}"
        xdelta=$(bash "$root/bench/xdelta_per_file.sh" "${olds[$i]}" "$new" 2>>"$stage/logs/xdelta3.log") ||
            xdelta=""
    fi
    tree_args+=(--tree "$work/proof-$n.json" "${olds[$i]}" "$(tree_bytes "${olds[$i]}")"
        "${applied:-}" "${skipped:-}" "$xdelta")
done
end_status

# --- release.json and the report ----------------------------------------------
failures=$(python3 "$root/scripts/release/gather.py" "$stage/release.json" \
    --version "$new_version" --made "$(date -u '+%Y-%m-%d %H:%M UTC')" \
    --new-tree "$new" "$(find "$new" -type f | wc -l)" "$(tree_bytes "$new")" \
    --archive "$(sed -n 's/^\([0-9]*\) records.*/\1/p' "$stage/logs/build.txt")" \
    "$(stat -c %s "$stage/patch.cf00")" "$(stat -c %s "$stage/patch.szdd")" \
    --updater "$exe_bytes" "$own_bytes" "$arch" "$signature" \
    --stamped "$(sha256sum "$exe" | cut -d' ' -f1)" "$stub_sha" "$source_commit" \
    --shot "$([ -f "$stage/progress.png" ] && echo progress.png)" "${tree_args[@]}" \
    2>"$work/gather.err") || die "cannot write release.json: $(cat "$work/gather.err")"
python3 "$root/tools/release/report.py" "$stage/release.json" "$stage" \
    >"$stage/logs/report.log" 2>&1 ||
    die "cannot write the report: $(tail -5 "$stage/logs/report.log")"

# --- into OUTDIR ---------------------------------------------------------------
if [ -n "$failures" ]; then
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

if [ -n "$failures" ]; then
    sed "s/^proof failed/$prog: &/" <<<"$failures" >&2
    echo "$prog: nothing released; report in $out/report.md and $out/report.html" >&2
    exit 1
fi
echo "released $new_version for ${#olds[@]} older trees (${versions[*]}) in $out: varnelo_update.exe $exe_bytes bytes"
