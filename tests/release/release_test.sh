#!/usr/bin/env bash
# scripts/release.sh as a release engineer runs it.
#   release_test.sh inputs|demo|damaged WORKDIR
# inputs: bad input is refused with a clear message and leaves no OUTDIR.
# demo: a signed release of the sample's 1.0.5.2 and 1.1.0.0 to 1.1.0.3,
# each proven plain and healed after a kill while patching.
# damaged: one installed copy is changed before its run; the release fails,
# names that tree and file, and still writes the report.
# RELEASE_ARCH (default i686): the updater the release stamps and proves;
# RELEASE_WINDOWS_BUILD: the Windows build whose stub it stamps, built
# already.
set -u
case=$1
work=$2
arch=${RELEASE_ARCH:-i686}
release() { bash "$SOURCE/scripts/release.sh" --arch "$arch" "$@"; }
rm -rf "$work"
mkdir -p "$work/tmp"
# The release's work folders and prefixes go here, to see them cleaned up.
export TMPDIR=$work/tmp
failures=0
check() {
    if eval "$2"; then echo "ok   $1"; else failures=$((failures + 1)); echo "FAIL $1"; fi
}
# check_json NAME EXPR: a Python expression over OUTDIR's release.json, as r,
# with its trees by version in t.
check_json() {
    if python3 - "$2" "$out/release.json" <<'EOF'; then
import json, sys
r = json.load(open(sys.argv[2], encoding="utf-8"))
t = {x["version"]: x for x in r["trees"]}
ok = eval("(" + sys.argv[1] + ")")
if not ok:
    print(json.dumps(r["trees"], ensure_ascii=False, indent=1))
sys.exit(0 if ok else 1)
EOF
        echo "ok   release.json: $1"
    else
        failures=$((failures + 1))
        echo "FAIL release.json: $1"
    fi
}
trees=$work/trees
"$DEMO_TOOL" versions "$trees" "$DEMO_DIR/vrnl_1_0_5_2.exe" "$DEMO_DIR/vrnl_1_1_0_0.exe" \
    "$DEMO_DIR/vrnl_1_1_0_3.exe" || { echo "FAIL cannot write the demo versions"; exit 1; }

# refused CASE WANT ARGS...: exit 1 (2 for usage), the message, no OUTDIR
# and nothing left beside it.
refused() {
    local name=$1 want=$2
    shift 2
    local err code
    err=$(release "$@" 2>&1 >/dev/null)
    code=$?
    check "$name: refused" '[ $code -eq 1 ] || [ $code -eq 2 ]'
    check "$name: says \"$want\"" 'grep -qF -- "$want" <<<"$err" || { echo "  got: $err"; false; }'
    check "$name: no OUTDIR" '[ ! -e "$work/out" ]'
    check "$name: nothing left behind" '[ -z "$(ls -A "$work/tmp")" ] && [ -z "$(find "$work" -maxdepth 1 -name ".out.staging*")" ]'
}

if [ "$case" = inputs ]; then
    t=$trees
    refused "no older tree" "usage:" --new "$t/1.1.0.3" -o "$work/out"
    refused "key without certificate" "--sign-cert and --sign-key go together" \
        --old "$t/1.0.5.2" --new "$t/1.1.0.3" -o "$work/out" --sign-key "$t/1.0.5.2/VRNL.exe"
    refused "missing new tree" "new tree $work/nowhere: not a folder" \
        --old "$t/1.0.5.2" --new "$work/nowhere" -o "$work/out"
    refused "missing older tree" "older tree $work/nowhere: not a folder" \
        --old "$work/nowhere" --new "$t/1.1.0.3" -o "$work/out"
    cp -a "$t/1.1.0.3" "$work/same"
    refused "older tree equal to the new one" "older tree $work/same holds the same files as the new tree" \
        --old "$t/1.0.5.2" --old "$work/same" --new "$t/1.1.0.3" -o "$work/out"
    cp -a "$t/1.1.0.0" "$work/twin"
    chmod -R u+w "$work/twin"
    echo changed >>"$work/twin/CAR/NR33.tex"
    refused "two older trees at one version" "are both at version 1.1.0.0" \
        --old "$t/1.1.0.0" --old "$work/twin" --new "$t/1.1.0.3" -o "$work/out"
    cp -a "$t/1.0.5.2" "$work/noexe"
    rm -f "$work/noexe/VRNL.exe"
    refused "older tree without VRNL.exe" "older tree $work/noexe: no VRNL.exe" \
        --old "$work/noexe" --new "$t/1.1.0.3" -o "$work/out"
    cp -a "$t/1.1.0.3" "$work/cases"
    chmod -R u+w "$work/cases"
    cp "$work/cases/CAR/NR33.bin" "$work/cases/CAR/nr33.BIN"
    refused "names that differ in case only" "names differ only in letter case" \
        --old "$t/1.0.5.2" --new "$work/cases" -o "$work/out"
    cp -a "$t/1.1.0.3" "$work/huge"
    chmod -R u+w "$work/huge"
    truncate -s 2G "$work/huge/course/huge.bin"
    refused "a file too large for the format" "too large for the patch format" \
        --old "$t/1.0.5.2" --new "$work/huge" -o "$work/out"
    rm -rf "$work/huge"
    mkdir -p "$work/taken"
    echo "someone's notes" >"$work/taken/notes.txt"
    err=$(release --old "$t/1.0.5.2" --new "$t/1.1.0.3" -o "$work/taken" 2>&1 >/dev/null)
    check "OUTDIR holding something else: refused" '[ $? -eq 1 ]'
    check "OUTDIR holding something else: says so" 'grep -q "holds something other than a release" <<<"$err"'
    check "OUTDIR holding something else: left alone" '[ "$(ls -A "$work/taken")" = notes.txt ]'
    refused "OUTDIR inside a tree" "lies inside the tree" \
        --old "$t/1.0.5.2" --new "$t/1.1.0.3" -o "$t/1.1.0.3/out"
    # Versions come from the version record, as the updater's gate reads them
    # (vnpatch was built for the cases above).
    version() { "${RELEASE_HOST_BUILD:-$RELEASE_BUILD/host}/tools/vnpatch/vnpatch" version "$1" 2>&1; }
    check "version of the samples" '[ "$(version "$DEMO_DIR/vrnl_1_0_5_2.exe")" = 1.0.5.2 ] &&
        [ "$(version "$DEMO_DIR/vrnl_2_0_0_0.exe")" = 2.0.0.0 ]'
    check "version: none recorded" 'version "$DEMO_DIR/vrnl_noversion.exe" | grep -q "no version record"'
    head -c 1500 "$DEMO_DIR/vrnl_1_1_0_0.exe" >"$work/cut.exe"
    check "version: file cut short" '! version "$work/cut.exe" >/dev/null && version "$work/cut.exe" | grep -q "vnpatch: .*cut.exe: "'
    check "version: not an executable" 'version "$t/1.1.0.3/CAR/NR33.bin" | grep -q "not a Windows executable"'
elif [ "$case" = demo ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
        -days 2 -subj "/CN=Varnelo Test Signing" -addext extendedKeyUsage=codeSigning \
        >/dev/null 2>&1 || { echo "FAIL openssl cannot make a certificate"; exit 1; }
    out=$work/out
    release --old "$trees/1.0.5.2" --old "$trees/1.1.0.0" --new "$trees/1.1.0.3" \
        -o "$out" --sign-cert "$work/cert.pem" --sign-key "$work/key.pem" >"$work/stdout" 2>"$work/stderr"
    code=$?
    check "release exits 0" '[ $code -eq 0 ] || { cat "$work/stderr"; false; }'
    check "says what it released" 'grep -q "released 1.1.0.3 for 2 older trees (1.0.5.2 1.1.0.0)" "$work/stdout"'
    check "quiet off a terminal" '[ ! -s "$work/stderr" ]'
    check "sums of what it holds" '(cd "$out" && sha256sum --quiet -c SHA256SUMS)'
    check "archive is SZDD" '[ "$(head -c 4 "$out/patch.szdd")" = SZDD ]'
    check "archive expands to the plain one" '"${RELEASE_HOST_BUILD:-$RELEASE_BUILD/host}/tools/vnpatch/vnpatch" expand "$out/patch.szdd" "$work/x.cf00" && cmp -s "$work/x.cf00" "$out/patch.cf00"'
    check "executable is signed" 'osslsigncode verify -in "$out/varnelo_update.exe" -CAfile "$work/cert.pem" >/dev/null 2>&1'
    check "report gives the signature check" 'grep -q "signed; osslsigncode verify: .*CN *= *Varnelo Test Signing" "$out/report.md"'
    r=$out/report.md
    check "report: passed" 'grep -q "^Result: passed: every older tree updates to the new tree, also after a run killed during patching" "$r"'
    check "report: 1.0.5.2 row" 'grep -q "| 1.0.5.2 | 10 / 1 | .* | 情報: アップデート完了しました。 | same as the new tree; pit data removed | killed [0-9]* ms into patching .*second run reached the new tree |" "$r"'
    check "report: 1.1.0.0 row" 'grep -q "| 1.1.0.0 | 8 / 3 | .* | 情報: アップデート完了しました。 | same as the new tree; pit data kept | killed [0-9]* ms into patching .*second run reached the new tree |" "$r"'
    check "report: HTML with its chart" 'grep -q "<svg" "$out/report.html" && grep -c "<rect" "$out/report.html" | grep -qx 8'
    check "report: progress window" '[ "$(identify -format %w "$out/progress.png" 2>/dev/null)" -gt 100 ]'
    check_json "the release's facts" "r['version'] == '1.1.0.3' and r['updater']['arch'] == '$arch' and
        r['updater']['bytes'] == $(stat -c %s "$out/varnelo_update.exe") and
        r['archive']['szdd_bytes'] == $(stat -c %s "$out/patch.szdd") and r['progress_screenshot'] == 'progress.png'"
    stub=$RELEASE_WINDOWS_BUILD/updater/varnelo_update_stub.exe
    check "nothing compiled: the build's stub was up to date" 'grep -q "no work to do" "$out/logs/windows.build.log"'
    check_json "stamped into the build's stub, both hashed" "r['updater']['stub_sha256'] == '$(sha256sum "$stub" | cut -d' ' -f1)' and
        r['updater']['sha256'] == '$(sha256sum "$out/varnelo_update.exe" | cut -d' ' -f1)' and r['updater']['source']"
    check "report gives both hashes" 'grep -q "SHA-256: .*$(sha256sum "$stub" | cut -c1-64)" "$r"'
    check_json "both trees, records as vnpatch verify counts them" "len(r['trees']) == 2 and
        (t['1.0.5.2']['applied'], t['1.0.5.2']['passed_over']) == (10, 1) and
        (t['1.1.0.0']['applied'], t['1.1.0.0']['passed_over']) == (8, 3)"
    check_json "plain proofs passed with the completion message" "all(x['ok'] and x['failure'] is None and
        not x['faults'] and x['title'] == '情報' and x['message'] == 'アップデート完了しました。' and
        x['run_ms'] > 0 for x in r['trees']) and
        (t['1.0.5.2']['pit'], t['1.1.0.0']['pit']) == ('removed', 'kept')"
    check_json "healing proofs passed" "all(x['healing']['ok'] and x['healing']['failure'] is None and
        not x['healing']['faults'] and x['healing']['killed_after_ms'] >= 0 for x in r['trees'])"
    # Not a check: how the kills fell (a kill after the last change heals
    # nothing, which the release records rather than hides).
    python3 -c 'import json, sys
for x in json.load(open(sys.argv[1]))["trees"]:
    h = x["healing"]
    print("     %s: killed %s ms after patching began, %s backups at the kill, finished before the kill: %s"
          % (x["version"], h["killed_after_ms"], h["backups_at_kill"], h["finished_before_kill"]))' \
        "$out/release.json"
    check "no work folder or prefix left" '[ -z "$(ls -A "$work/tmp")" ]'
else
    out=$work/out
    # A previous release there is replaced.
    mkdir -p "$out" && echo released >"$out/.vnpatch-release" && echo old >"$out/old.txt"
    export RELEASE_BEFORE_RUN='case $1 in */1.1.0.0) chmod u+w "$2/CAR/NR33.tex"; echo x >>"$2/CAR/NR33.tex" ;; esac'
    release --old "$trees/1.0.5.2" --old "$trees/1.1.0.0" --new "$trees/1.1.0.3" \
        -o "$out" >"$work/stdout" 2>"$work/stderr"
    code=$?
    err=$(cat "$work/stderr")
    check "release exits 1" '[ $code -eq 1 ]'
    check "names the tree" 'grep -q "proof failed for older tree $trees/1.1.0.0 (1.1.0.0)" <<<"$err"'
    check "lists the file" 'grep -q "^  CAR/NR33.tex: differs from the new tree" <<<"$err"'
    check "only that tree" '! grep -q "older tree $trees/1.0.5.2" <<<"$err"'
    check "says nothing was released" 'grep -q "nothing released" <<<"$err"'
    r=$out/report.md
    check "report written" 'grep -q "^Result: \*\*FAILED for 1 of 2 older trees\*\*: 1.1.0.0" "$r"'
    check "report: the passing tree" 'grep -q "| 1.0.5.2 | .* | same as the new tree; pit data removed | killed .*second run reached the new tree |" "$r"'
    check "report: the failing tree and file" 'grep -q "| 1.1.0.0 | .* | \*\*1 file not as the new tree has them\*\*: CAR/NR33.tex: differs from the new tree | not run |" "$r"'
    check "report: HTML names the file" 'grep -q "<li>CAR/NR33.tex: differs from the new tree</li>" "$out/report.html"'
    check_json "the damaged tree failed, its file named, no healing run" "not t['1.1.0.0']['ok'] and
        t['1.1.0.0']['faults'] == ['CAR/NR33.tex: differs from the new tree'] and
        t['1.1.0.0']['failure'] and t['1.1.0.0']['healing'] is None"
    check_json "the other tree passed both proofs" "t['1.0.5.2']['ok'] and t['1.0.5.2']['healing']['ok']"
    check "the unsigned updater is the build's stub stamped with the archive" '"${RELEASE_HOST_BUILD:-$RELEASE_BUILD/host}/tools/vnpatch/vnpatch" stamp "$RELEASE_WINDOWS_BUILD/updater/varnelo_update_stub.exe" "$out/rejected/patch.szdd" -o "$work/stamped.exe" && cmp -s "$work/stamped.exe" "$out/rejected/varnelo_update.exe"'
    check "not passed off as a release" '[ ! -e "$out/varnelo_update.exe" ] && [ ! -e "$out/SHA256SUMS" ] && [ -f "$out/rejected/varnelo_update.exe" ]'
    check "previous release replaced" '[ ! -e "$out/old.txt" ]'
    check "no work folder or prefix left" '[ -z "$(ls -A "$work/tmp")" ]'
fi
echo "$failures failures"
[ "$failures" -eq 0 ]
