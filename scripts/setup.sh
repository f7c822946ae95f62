#!/usr/bin/env bash
# Installs what a fresh Debian machine needs: the packages of .ci/packages.txt
# (with the i386 architecture for Wine's 32-bit side), qemu-user 8.1 or later
# for the emulated i386 lane, and the locales that give Wine the ANSI code
# pages 932 (Japanese) and 1252 (Western).
#
# A mirror caught mid-sync can leave one index unreadable for days. When that
# index is an i386 one, the amd64 libraries may stand at versions with no i386
# twin, and Multi-Arch: same packages need one version on both sides, so the
# plain install cannot be resolved. The install then falls back to the
# release's own suite (apt-get -t CODENAME), says so on stderr and names every
# package that would go down a version before anything is changed.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(grep -v '^#' .ci/packages.txt | tr '\n' ' ')
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive

say() { echo "setup: $*" >&2; }

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done

# The packages a simulated install with these extra options would take to a
# lower version than the one installed, one "name old -> new" a line. Fails
# when the simulation cannot be resolved.
downgrades() {
    local plan
    plan=$(apt-get install -s -y -q --no-install-recommends "$@" $missing 2>&1) || {
        printf '%s\n' "$plan" | grep -E '^(E:| )' | head -n 20 >&2
        return 1
    }
    # "Inst NAME [OLD] (NEW suite [arch])" is an upgrade or a downgrade.
    printf '%s\n' "$plan" | sed -nE 's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+) .*/\1 \2 \3/p' |
        while read -r name old new; do
            if dpkg --compare-versions "$new" lt "$old"; then
                echo "$name $old -> $new"
            fi
        done
}

# A failed index is kept out (old or none used); the resolution below
# decides whether what could be read is enough.
update_indexes() {
    for attempt in 1 2 3; do
        $sudo apt-get update -qq && return
        say "apt-get update failed (attempt $attempt of 3); going on with the indexes that could be read"
        [ "$attempt" -eq 3 ] || sleep 5
    done
}

if [ -n "$missing" ]; then
    # The updater is a 32-bit program: Wine's WoW64 needs the i386 wine32.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    update_indexes
    options=()
    if ! down=$(downgrades); then
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        if [ -z "$codename" ]; then
            say "the install cannot be resolved and this system names no release to fall back on"
            exit 1
        fi
        say "the install cannot be resolved with every suite (a mirror's index is likely stale);"
        say "falling back to $codename's own versions (apt-get -t $codename)"
        options=(-t "$codename")
        if ! down=$(downgrades "${options[@]}"); then
            say "the install cannot be resolved with $codename's own versions either"
            exit 1
        fi
    fi
    if [ -n "$down" ]; then
        say "these packages go down a version:"
        sed 's/^/  /' <<<"$down" >&2
        options+=(--allow-downgrades)
    fi
    $sudo apt-get install -y -q --no-install-recommends "${options[@]}" $missing
fi
# Where the kernel runs no 32-bit programs, Wine's 32-bit side runs under
# qemu-user in a namespace of its own (cmake/i386-lane.sh). Wine needs qemu
# 8.1 or later, which bookworm has only in its backports suite, added here
# with the mirror the system already uses. Installed on every machine, so
# that the lane can be tried anywhere (VARNELO_I386_EMULATE=1). Without its
# recommendations: qemu-user-binfmt would hand every i386 program on the
# host to qemu, the lane registers its own entry.
if ! bash cmake/i386-lane.sh --check 2>/dev/null; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    qemu_options=()
    if [ "$codename" = bookworm ]; then
        if ! grep -rqsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
            mirror=$(bash scripts/apt_mirror.sh bookworm)
            keyring=/usr/share/keyrings/debian-archive-keyring.gpg
            {
                printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n' "$mirror"
                [ ! -f "$keyring" ] || printf 'Signed-By: %s\n' "$keyring"
            } | $sudo tee /etc/apt/sources.list.d/varnelo-backports.sources >/dev/null
            say "added bookworm-backports ($mirror) to apt's sources, for qemu-user 8.1 or later"
            update_indexes
        fi
        qemu_options=(-t bookworm-backports)
    fi
    $sudo apt-get install -y -q --no-install-recommends "${qemu_options[@]}" qemu-user
    bash cmake/i386-lane.sh --check || exit 1
    say "installed $(/usr/bin/qemu-i386 --version | head -n 1) for the emulated i386 lane" \
        "(no host-wide binfmt entry)"
fi
# Wine takes a program's ANSI code page from its locale: Japanese for 932,
# US English for the 1252 of a Western Windows.
generate=0
for name in ja_JP en_US; do
    locale -a 2>/dev/null | grep -qi "^$name.utf8$" && continue
    $sudo sed -i "s/^# *$name.UTF-8 UTF-8/$name.UTF-8 UTF-8/" /etc/locale.gen
    grep -q "^$name.UTF-8 UTF-8" /etc/locale.gen || echo "$name.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    generate=1
done
[ "$generate" -eq 0 ] || $sudo locale-gen >/dev/null
