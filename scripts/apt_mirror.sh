#!/usr/bin/env bash
# apt_mirror.sh CODENAME: the mirror this machine's apt sources name for that
# release (deb822 .sources first, then one-line .list entries), or Debian's
# own when none does.
codename=$1
mirror=$(sed -nE '/^URIs:/{s/^URIs: *//;s/ .*//;h};/^Suites:(.*[[:space:]])?'"$codename"'([[:space:]]|$)/{x;p;q}' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
if [ -z "$mirror" ]; then
    mirror=$(grep -hsE "^deb .* $codename( |$)" /etc/apt/sources.list \
        /etc/apt/sources.list.d/*.list | awk '{print $2; exit}' || true)
fi
echo "${mirror:-http://deb.debian.org/debian}"
