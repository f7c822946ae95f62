#!/usr/bin/env bash
# Installs what a fresh Debian machine needs: the packages of .ci/packages.txt
# (with the i386 architecture for Wine's 32-bit side) and the Japanese locale
# that gives Wine the ANSI code page 932.
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

if [ -n "$missing" ]; then
    # The updater is a 32-bit program: Wine's WoW64 needs the i386 wine32.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    # A failed index is kept out (old or none used); the resolution below
    # decides whether what could be read is enough.
    for attempt in 1 2 3; do
        $sudo apt-get update -qq && break
        say "apt-get update failed (attempt $attempt of 3); going on with the indexes that could be read"
        [ "$attempt" -eq 3 ] || sleep 5
    done
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
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
    $sudo sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
fi
