#!/usr/bin/env bash
# vnpatch apply and inspect as a release engineer runs them: exit codes,
# messages and results, for the native tool or the Windows one under Wine.
#   vnpatch_cli_test.sh VNPATCH [windows]
# Environment for stamp (Windows builds): STUB, the updater without an
# archive, and NATIVE_VNPATCH, the host build's tool, whose bytes the
# Windows one must write.
set -u
vnpatch=$1
mode=${2:-native}
here=$(cd "$(dirname "$0")" && pwd)
if [ "$mode" = windows ]; then
    bash "$here/../../cmake/wine-loader.sh" "$vnpatch" >/dev/null || exit $?
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/vnpatch-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

run() {
    if [ "$mode" = windows ]; then
        "$here/../../cmake/wine-run.sh" "$vnpatch" "$@"
    else
        "$vnpatch" "$@"
    fi
}
# Paths as the tool sees them: Wine shows the host's root as drive Z:.
p() { if [ "$mode" = windows ]; then echo "Z:$1"; else echo "$1"; fi; }
check() {
    if eval "$2"; then passes=$((passes + 1)); else failures=$((failures + 1)); echo "FAIL: $1"; fi
}

mkdir -p "$work/old/CAR" "$work/old/course" "$work/new/CAR" "$work/new/course/extra"
head -c 300000 /dev/urandom > "$work/old/CAR/NR33.bin"
{ head -c 150000 "$work/old/CAR/NR33.bin"; echo "changed"; tail -c 100000 "$work/old/CAR/NR33.bin"; } \
    > "$work/new/CAR/NR33.bin"
echo "gone" > "$work/old/course/old.txt"
echo "same" > "$work/old/course/same.txt"
cp "$work/old/course/same.txt" "$work/new/course/same.txt"
head -c 5000 /dev/urandom > "$work/new/course/extra/new.bin"
run build --old "$(p "$work/old")" --new "$(p "$work/new")" -o "$(p "$work/a.cf00")" >/dev/null 2>&1
check "build makes an archive" '[ -s "$work/a.cf00" ]'

out=$(run inspect "$(p "$work/a.cf00")" 2>&1)
check "inspect exits 0" '[ $? -eq 0 ]'
check "inspect lists the patch" 'grep -q "patch .*CAR\\\\NR33.bin" <<<"$out"'
check "inspect lists the write" 'grep -q "write .*course\\\\extra\\\\new.bin" <<<"$out"'
check "inspect lists the delete" 'grep -q "delete .*course\\\\old.txt" <<<"$out"'
check "inspect counts the entries" 'grep -q "3 entries" <<<"$out"'

cp -r "$work/old" "$work/inst"
out=$(run apply "$(p "$work/a.cf00")" "$(p "$work/inst")" 2>&1)
status=$?
check "apply exits 0" '[ $status -eq 0 ]'
check "apply reports the count" 'grep -q "applied 3 records" <<<"$out"'
check "patched file" 'cmp -s "$work/inst/CAR/NR33.bin" "$work/new/CAR/NR33.bin"'
check "written file" 'cmp -s "$work/inst/course/extra/new.bin" "$work/new/course/extra/new.bin"'
check "deleted file" '[ ! -e "$work/inst/course/old.txt" ]'
check "no backup left" '[ -z "$(find "$work/inst" -name "*.bak")" ]'
# Applied again: the rebuild is passed over (its file is at the new
# version), named with its reason; still a success.
out=$(run apply "$(p "$work/a.cf00")" "$(p "$work/inst")" 2>&1)
check "second apply exits 0" '[ $? -eq 0 ]'
check "second apply names what it passed over" \
    'grep -qF "entry 1 (CAR\NR33.bin): passed over, the file is another version" <<<"$out"'
check "second apply names nothing else" '[ "$(grep -c "passed over" <<<"$out")" -eq 1 ]'

# verify predicts, over the untouched old tree, what apply then did, and
# leaves the tree and its scratch folder as they were.
cp -r "$work/old" "$work/pristine"
mkdir -p "$work/tmp"
out=$(TMPDIR="$work/tmp" run verify "$(p "$work/a.cf00")" "$(p "$work/pristine")" 2>&1)
status=$?
check "verify exits 0" '[ $status -eq 0 ]'
check "verify predicts a complete result" 'grep -q "3 would apply, 0 skip, 0 fail; result complete" <<<"$out"'
check "verify names the rebuild" 'grep -q "CAR\\\\NR33.bin: apply: rebuilds the file" <<<"$out"'
check "verify changes nothing" 'diff -r "$work/old" "$work/pristine" >/dev/null'
check "verify leaves no scratch" '[ "$mode" = windows ] || [ -z "$(ls -A "$work/tmp")" ]'

# Cut short inside the last entry: failure with the entry's number.
size=$(stat -c %s "$work/a.cf00")
head -c $((size - 10)) "$work/a.cf00" > "$work/cut.cf00"
cp -r "$work/old" "$work/inst2"
out=$(run apply "$(p "$work/cut.cf00")" "$(p "$work/inst2")" 2>&1)
status=$?
check "cut archive exits non-zero" '[ $status -ne 0 ]'
check "cut archive names the entry" 'grep -q "failed at entry 2 of 3" <<<"$out"'
out=$(run inspect "$(p "$work/cut.cf00")" 2>&1)
check "inspect of a cut archive fails" '[ $? -ne 0 ] && grep -q "entry 2" <<<"$out"'
# A stray backup beside a file to rebuild: the reason names it.
cp -r "$work/old" "$work/inst3"
echo "stray" > "$work/inst3/CAR/NR33.bin.bak"
out=$(run apply "$(p "$work/a.cf00")" "$(p "$work/inst3")" 2>&1)
status=$?
check "backup in the way exits non-zero" '[ $status -ne 0 ]'
check "backup in the way is the reason" \
    'grep -qF "entry 1 of 3 (CAR\\NR33.bin): a backup CAR\\NR33.bin.bak is in the way" <<<"$out"'
out=$(run verify "$(p "$work/a.cf00")" "$(p "$work/inst3")" 2>&1)
check "verify gives apply's reason" \
    'grep -qF "CAR\\NR33.bin: FAIL: a backup CAR\\NR33.bin.bak is in the way" <<<"$out"'
check "backup in the way keeps the file" 'cmp -s "$work/inst3/CAR/NR33.bin" "$work/old/CAR/NR33.bin"'
out=$(run apply "$(p "$work/missing.cf00")" "$(p "$work/inst2")" 2>&1)
status=$?
check "missing archive exits non-zero" '[ $status -ne 0 ] && grep -q "cannot open or read" <<<"$out"'
# stamp: refusals leave no OUT; with a stub, the Windows tool writes the
# native tool's bytes, and stamping a stamped updater again (OUT the same
# file) gives the bytes of stamping the stub.
out=$(run stamp "$(p "$work/a.cf00")" "$(p "$work/a.cf00")" -o "$(p "$work/x.exe")" 2>&1)
check "stamp refuses a non-PE updater" \
    '[ $? -eq 1 ] && grep -q "updater: not a Windows executable" <<<"$out" && [ ! -e "$work/x.exe" ]'
if [ -n "${STUB:-}" ]; then
    out=$(run stamp "$(p "$STUB")" "$(p "$work/old/course/same.txt")" -o "$(p "$work/x.exe")" 2>&1)
    check "stamp refuses a file that is no archive" \
        '[ $? -eq 1 ] && grep -q "no patch archive" <<<"$out" && [ ! -e "$work/x.exe" ]'
    run compress "$(p "$work/a.cf00")" "$(p "$work/a.szdd")"
    "$NATIVE_VNPATCH" stamp "$STUB" "$work/a.szdd" -o "$work/native.exe"
    run stamp "$(p "$STUB")" "$(p "$work/a.szdd")" -o "$(p "$work/stamped.exe")"
    check "stamp exits 0" '[ $? -eq 0 ]'
    check "stamp writes the native tool's bytes" 'cmp "$work/native.exe" "$work/stamped.exe"'
    cp "$work/stamped.exe" "$work/again.exe"
    run stamp "$(p "$work/again.exe")" "$(p "$work/a.cf00")" -o "$(p "$work/again.exe")" &&
        run stamp "$(p "$work/again.exe")" "$(p "$work/a.szdd")" -o "$(p "$work/again.exe")"
    check "stamped again in place, the stub's stamp" 'cmp "$work/stamped.exe" "$work/again.exe"'
    check "no temporary file left" '[ -z "$(ls "$work" | grep stamp-)" ]'
fi

out=$(run apply 2>&1)
check "usage" '[ $? -eq 2 ] && grep -q "usage" <<<"$out"'

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
