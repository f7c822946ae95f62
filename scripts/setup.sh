#!/usr/bin/env bash
# Installs what a fresh Debian machine needs: the packages of .ci/packages.txt
# (with the i386 architecture for Wine's 32-bit side) and the Japanese locale
# that gives Wine the ANSI code page 932.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(grep -v '^#' .ci/packages.txt | tr '\n' ' ')
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    # The updater is a 32-bit program: Wine's WoW64 needs the i386 wine32.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    # A mirror caught mid-sync fails one index now and then; retry, then go
    # on with what was fetched: the install below still fails loudly if a
    # package really cannot be had.
    for attempt in 1 2 3; do
        $sudo apt-get update -qq && break
        echo "apt-get update failed (attempt $attempt)" >&2
        sleep 10
    done
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
fi
