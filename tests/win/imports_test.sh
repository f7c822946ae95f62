#!/usr/bin/env bash
# The updater must start on Windows XP SP3: every function it imports is one
# that XP's system DLLs export (the allowlists in xp_imports/, see the README
# there), its PE header asks for no newer Windows, it carries its manifest,
# and its link pulled in no C++ runtime, unwinder or thread library, nor the
# tools' table-driven stream CRC. Every problem is named before the test
# fails.
#
# imports_test.sh WORKDIR
# Environment: UPDATER_STUB (the updater without an archive, linked with its
# map beside it as EXE.map), UPDATER, UPDATER_LARGE, UPDATER_BAD (the stub
# with archives stamped in), SOURCE (the source tree), CC (the MinGW-w64 C
# compiler), OBJDUMP (its objdump), VNPATCH (the build machine's vnpatch,
# which lists resources).
set -euo pipefail

work=$1
lists=$SOURCE/tests/win/xp_imports
rm -rf "$work"
mkdir -p "$work"

problems=0
fail() {
    echo "FAIL: $*" >&2
    problems=$((problems + 1))
}

# fail_lines: one failure for each non-empty line read from stdin (not from a
# pipe, which would count them in a subshell).
fail_lines() {
    local line
    while read -r line; do
        if [ -n "$line" ]; then
            fail "$line"
        fi
    done
}

# allowlist FILE: the names in an allowlist, without comments.
allowlist() {
    sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$1"
}

# ---------------------------------------------------------------------------
# The allowlists against MinGW-w64's headers: each name must be declared with
# the headers set for Windows XP, which leave out what came with Vista.

# write_probe FILE: a C file taking the address of each "DLL NAME" read from
# stdin, one per line; FILE.names holds "DLL NAME" for each of its lines.
write_probe() {
    local c=$1 dll name
    {
        printf '#include <windows.h>\n#include <commctrl.h>\n#include <lzexpand.h>\n'
        printf '#include <io.h>\n#include <locale.h>\n#include <mbstring.h>\n'
        printf '#include <process.h>\n#include <setjmp.h>\n#include <signal.h>\n'
        printf '#include <stdio.h>\n#include <stdlib.h>\n#include <string.h>\n'
        printf 'const void *volatile sink;\nvoid take(void) {\n'
    } >"$c"
    : >"$c.names"
    while read -r dll name; do
        echo "$dll $name" >>"$c.names"
        printf '    sink = (const void *)&%s;\n' "$name" >>"$c"
    done
    echo "}" >>"$c"
}

# refused C WINNT: compiles C for Windows version WINNT and prints the
# "DLL NAME" of each line the compiler refused; returns 2 when it failed
# without pointing at any of them.
refused() {
    local c=$1 winnt=$2 first
    first=$(($(grep -n '^void take' "$c" | cut -d: -f1) + 1))
    if "$CC" -D_WIN32_WINNT="$winnt" -DWINVER="$winnt" -D__MSVCRT_VERSION__=0x0700 \
        -std=c11 -Werror=implicit-function-declaration -fmax-errors=0 \
        -c "$c" -o "$c.o" 2>"$c.$winnt.log"; then
        return 0
    fi
    local lines
    lines=$(grep -oE "^[^:]*\.c:[0-9]+:[0-9]+: error" "$c.$winnt.log" |
        cut -d: -f2 | sort -nu) || true
    if [ -z "$lines" ]; then
        cat "$c.$winnt.log" >&2
        return 2
    fi
    local line named=0
    for line in $lines; do
        if [ "$line" -ge "$first" ]; then
            sed -n "$((line - first + 1))p" "$c.names"
            named=1
        fi
    done
    if [ "$named" -eq 0 ]; then
        cat "$c.$winnt.log" >&2
        return 2
    fi
}

check_allowlists() {
    local file dll
    for file in "$lists"/*.dll.txt; do
        dll=$(basename "$file" .txt)
        # Names marked "by hand" are the C runtime's start-up interface that
        # the headers do not declare; the README gives their check.
        sed -e '/# by hand/d' -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$file" |
            sed "s/^/$dll /"
    done | write_probe "$work/allowlists.c"
    local out
    if ! out=$(refused "$work/allowlists.c" 0x0501); then
        fail "the allowlists' header check did not compile (log above)"
        return
    fi
    fail_lines < <(awk 'NF { print "xp_imports/" $1 ".txt: " $2 " is not declared by the headers for Windows XP (_WIN32_WINNT=0x0501)" }' <<<"$out")

    # The check itself must tell XP from Vista: two functions that came with
    # Vista are refused for XP and accepted for Vista.
    printf 'KERNEL32.dll GetTickCount64\nKERNEL32.dll SetFileInformationByHandle\n' |
        write_probe "$work/vista.c"
    if ! out=$(refused "$work/vista.c" 0x0600) || [ -n "$out" ]; then
        fail "the header check refuses Vista's functions for Vista too: $out"
    fi
    out=$(refused "$work/vista.c" 0x0501) || true
    local name
    for name in GetTickCount64 SetFileInformationByHandle; do
        if ! grep -qx "KERNEL32.dll $name" <<<"$out"; then
            fail "the header check lets Vista's $name through for Windows XP"
        fi
    done
}

# ---------------------------------------------------------------------------
# One executable: imports, PE header, manifest, link map.

# The allowlists as "DLL NAME" lines, DLL in upper case without ".dll".
allowed_imports() {
    local file
    for file in "$lists"/*.dll.txt; do
        allowlist "$file" | sed "s/^/$(basename "$file" .dll.txt) /"
    done
}

check_imports() {
    local exe=$1 label=$2 found
    # The import table as "DLL NAME" lines ("#N" names an import by
    # ordinal), checked against the allowlists.
    found=$("$OBJDUMP" -p "$exe" | awk '
        /^\tDLL Name: / { dll = $3; next }
        /^$/ { dll = "" }
        dll != "" && /^\t[0-9a-f]+\t/ {
            name = $3
            if (name == "" || name == "<none>") name = "#" $2
            print dll, name
        }' | awk -v label="$label" '
        NR == FNR { allowed[$1 " " $2] = 1; listed[$1] = 1; next }
        {
            count++
            dll = toupper($1)
            if (dll !~ /\.DLL$/) {
                print label " imports from " $1 ", which is not a DLL"
                next
            }
            sub(/\.DLL$/, "", dll)
            if (!(dll in listed))
                print label " imports " $2 " from " $1 ", which has no allowlist"
            else if (!((dll " " $2) in allowed))
                print label " imports " $2 " from " $1 ", which is not on xp_imports/" dll ".dll.txt"
        }
        END { if (!count) print label ": no import table read" }' <(allowed_imports) -)
    fail_lines <<<"$found"
}

# version_at_most_xp MAJOR MINOR: whether MAJOR.MINOR is 5.1 (Windows XP) or
# less.
version_at_most_xp() {
    [ "$1" -lt 5 ] || { [ "$1" -eq 5 ] && [ "$2" -le 1 ]; }
}

check_header() {
    local exe=$1 label=$2 header
    header=$("$OBJDUMP" -p "$exe")
    # Fields of objdump's listing of the PE header, by name.
    local magic subsystem os_major os_minor sub_major sub_minor
    read -r magic subsystem os_major os_minor sub_major sub_minor < <(awk '
        { value[$1] = $2 }
        END {
            print value["Magic"], value["Subsystem"], value["MajorOSystemVersion"],
                  value["MinorOSystemVersion"], value["MajorSubsystemVersion"],
                  value["MinorSubsystemVersion"]
        }' <<<"$header")
    grep -q "file format pei-i386$" <<<"$header" ||
        fail "$label is not an i386 PE image: $(grep -m1 'file format' <<<"$header")"
    [ "$magic" = 010b ] || fail "$label is not PE32 (Magic $magic)"
    [ "$((16#${subsystem:-0}))" -eq 2 ] ||
        fail "$label has subsystem $subsystem, not Windows GUI (2)"
    version_at_most_xp "$os_major" "$os_minor" ||
        fail "$label asks for operating system version $os_major.$os_minor, newer than Windows XP (5.1)"
    version_at_most_xp "$sub_major" "$sub_minor" ||
        fail "$label asks for subsystem version $sub_major.$sub_minor, newer than Windows XP (5.1)"
}

check_manifest() {
    local exe=$1 label=$2 resources
    if ! resources=$("$VNPATCH" resources "$exe"); then
        fail "$label: its resources do not read"
        return
    fi
    # RT_MANIFEST (24), the process manifest's identifier 1.
    awk '$1 == 24 && $2 == 1 && $4 > 0 { found = 1 } END { exit !found }' <<<"$resources" ||
        fail "$label carries no manifest (RT_MANIFEST 1)"
}

check_link_map() {
    local exe=$1 label=$2 map=$1.map
    if [ ! -f "$map" ]; then
        fail "$label has no link map beside it ($map)"
        return
    fi
    # Archive members the link took, grouped by archive: the C++ runtime, the
    # unwinder and winpthread (Debian ships it as libpthread.a too).
    local found
    found=$(awk -v label="$label" '
        /^(Discarded input sections|Memory Configuration)/ { exit }
        /^[^ ].*\.a\(.*\)$/ {
            split($0, part, "(")
            n = split(part[1], dirs, "/")
            archive = dirs[n]
            member = substr($0, length(part[1]) + 2)
            sub(/\)$/, "", member)
            if (archive ~ /^lib(stdc\+\+|supc\+\+|gcc_eh|winpthread|pthread)\.a$/ ||
                member ~ /^libwinpthread/)
                members[archive] = members[archive] " " member
        }
        END { for (a in members) print label " links " a " (members:" members[a] ")" }' "$map")
    fail_lines <<<"$found"
    # The tools' stream CRC: Crc32Update and its slicing-by-8 tables. The
    # tables have internal linkage, so the map shows them through their user
    # and the object holding both.
    found=$(awk -v label="$label" '
        /^Linker script and memory map/ { memory = 1 }
        !memory { next }
        /^ *(\.[^ ]+)? +0x[0-9a-f]+ +0x[0-9a-f]+ +[^ ]+$/ { object = $NF }
        /^ +0x[0-9a-f]+ +[^ 0]/ && /(^|[^A-Za-z0-9_])(Crc32Update|kTable)([^A-Za-z0-9_]|$)/ {
            sub(/^ +0x[0-9a-f]+ +/, "")
            print label " links the stream CRC and its tables: " $0 " in " object
        }' "$map")
    fail_lines <<<"$found"
}

# The code and data a stamped updater shares with the stub, section by section.
check_same_code() {
    local exe=$1 label=$2 section
    for section in .text .data .rdata .idata; do
        cmp -s <("$OBJDUMP" -s -j "$section" "$UPDATER_STUB" | tail -n +4) \
            <("$OBJDUMP" -s -j "$section" "$exe" | tail -n +4) ||
            fail "$label's $section differs from the stub's"
    done
}

check_allowlists
for var in UPDATER_STUB UPDATER UPDATER_LARGE UPDATER_BAD; do
    exe=${!var}
    label=$(basename "$exe")
    if [ ! -f "$exe" ]; then
        fail "$label is not built ($exe)"
        continue
    fi
    check_imports "$exe" "$label"
    check_header "$exe" "$label"
    check_manifest "$exe" "$label"
    [ "$var" = UPDATER_STUB ] || check_same_code "$exe" "$label"
done
# The stamped updaters carry the stub's code unchanged: its link map speaks
# for them all.
if [ -f "$UPDATER_STUB" ]; then
    check_link_map "$UPDATER_STUB" "$(basename "$UPDATER_STUB")"
fi

if [ "$problems" -gt 0 ]; then
    echo "$problems problem(s)" >&2
    exit 1
fi
echo "ok: the updaters import only what Windows XP SP3 exports and link no C++ runtime"
