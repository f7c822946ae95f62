#!/usr/bin/env bash
# Runs the README's two commands, `bash scripts/setup.sh` and then
# `bash scripts/test.sh`, on a fresh Debian: a `debootstrap --variant=minbase`
# chroot that reads this machine's apt sources. Before that it puts the
# chroot in the state a lived-in image is often in: libssl3 installed at a
# version older than the security suite's, so that the amd64 side lags the
# newest indexes. The repository's committed HEAD is cloned into the chroot;
# uncommitted changes are not checked.
#
# Needs root (debootstrap, chroot, mounts); installs debootstrap when
# missing. Prints the time of every step. Not part of scripts/test.sh: it
# downloads a few GB and takes a quarter of an hour or more on two cores.
#
#   sudo bash scripts/check_fresh_setup.sh                the full check
#   sudo bash scripts/check_fresh_setup.sh --setup-only   setup.sh only
# Options: --keep keeps the chroot (printed at the end); --dir DIR makes it
# in DIR (must not exist). CODENAME (default: this machine's release) picks
# the release; LIBSSL3_VERSION forces the libssl3 version put in first;
# VARNELO_I386_EMULATE=1 runs the tests' i386 lane emulated even where this
# kernel runs 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

setup_only=0
keep=0
root=""
while [ $# -gt 0 ]; do
    case $1 in
    --setup-only) setup_only=1 ;;
    --keep) keep=1 ;;
    --dir)
        root=${2:?--dir needs a folder}
        shift
        ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "unknown option $1 (--setup-only, --keep, --dir DIR)" >&2
        exit 2
        ;;
    esac
    shift
done

say() { echo "check: $*" >&2; }
[ "$(id -u)" -eq 0 ] || {
    say "needs root (debootstrap, chroot, mounts): run it with sudo"
    exit 2
}
codename=${CODENAME:-$(. /etc/os-release && echo "${VERSION_CODENAME:-}")}
[ -n "$codename" ] || {
    say "this system names no release; set CODENAME"
    exit 2
}
head=$(git rev-parse HEAD)
logs=$repo/build/fresh-check
mkdir -p "$logs"

if [ -z "$root" ]; then
    root=$(mktemp -d /var/tmp/varnelo-fresh.XXXXXX)
    rmdir "$root"
fi
[ ! -e "$root" ] || {
    say "$root exists; give a new folder"
    exit 2
}

# The mounts under the chroot, innermost first.
chroot_mounts() { findmnt -rn -o TARGET | grep "^$root/" | sort -r || true; }

# Unmounts everything under the chroot (also what a test left mounted), and
# removes the chroot only once nothing is mounted in it.
cleanup() {
    local rc=$? target
    for target in $(chroot_mounts); do
        umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null ||
            say "could not unmount $target"
    done
    if [ -d "$root" ]; then
        if [ -n "$(chroot_mounts)" ]; then
            say "something is still mounted under $root; left in place"
        elif [ "$keep" -eq 1 ]; then
            say "the chroot is kept in $root"
        else
            rm -rf --one-file-system "$root"
        fi
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() {
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
}

# in_chroot COMMAND: runs a bash command in the chroot with a clean
# environment, as on a machine just logged into; through the callers'
# chroot_via and in_lane commands, when they set them.
chroot_via=()
in_lane=()
in_chroot() {
    "${chroot_via[@]}" chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        "${in_lane[@]}" bash -c "$1"
}

# in_chroot_i386 COMMAND: in_chroot where 32-bit programs run. Where this
# kernel runs none (or VARNELO_I386_EMULATE is set), the tests' i386 lane
# would make a user namespace, which the kernel refuses inside a chroot: the
# chroot is entered from one made here instead, and the lane registers the
# chroot's own qemu in it (cmake/i386-lane.sh --inside).
in_chroot_i386() {
    if [ -z "${VARNELO_I386_EMULATE:-}" ] && in_chroot '/usr/lib/wine/wine --version' >/dev/null 2>&1; then
        in_chroot "$1"
        return
    fi
    echo "32-bit programs run emulated (the i386 lane, entered before the chroot)"
    local chroot_via=(unshare --user --map-root-user --mount --propagation private)
    local in_lane=(bash /root/varnelo/cmake/i386-lane.sh --inside)
    in_chroot "$1"
}

# step NAME COMMAND...: runs the command (a function stops at its first
# failing command) with its output in the log build/fresh-check/NAME.log and
# on the terminal; prints how long it took.
times=()
step() {
    local name=$1
    shift
    local start=$SECONDS rc
    echo "=== $name"
    set +e
    (
        set -e
        "$@"
    ) 2>&1 | tee "$logs/$name.log"
    rc=${PIPESTATUS[0]}
    set -e
    local took=$((SECONDS - start))
    local line
    line=$(printf '%-16s %2d:%02d  %s' "$name" $((took / 60)) $((took % 60)) \
        "$([ "$rc" -eq 0 ] && echo ok || echo "FAILED (exit $rc)")")
    times+=("$line")
    echo "=== $line"
    return "$rc"
}

report() {
    echo "=== times (min:s)"
    printf '%s\n' "${times[@]}"
}

# The mirror this machine's sources name for the release itself.
mirror=$(bash scripts/apt_mirror.sh "$codename")

host_tools() {
    if ! command -v debootstrap >/dev/null; then
        apt-get install -y -q --no-install-recommends debootstrap ||
            { apt-get update -q && apt-get install -y -q --no-install-recommends debootstrap; }
    fi
    echo "mirror: $mirror, release: $codename, chroot: $root, commit: $head"
}

bootstrap() {
    debootstrap --variant=minbase "$codename" "$root" "$mirror"
}

# The machine's apt sources and the Acquire settings that go with them
# (a snapshot mirror's old Release files, for one), DNS, no services
# started from package scripts, and the kernel's file systems.
prepare() {
    rm -f "$root/etc/apt/sources.list"
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
        /etc/apt/sources.list.d/*.list; do
        # What setup.sh adds there itself it must add on a fresh machine too.
        if [ -f "$f" ] && [ "$(basename "$f")" != varnelo-backports.sources ]; then
            cp "$f" "$root$f"
            echo "sources: $f"
        fi
    done
    for f in /etc/apt/apt.conf.d/*; do
        if grep -q '^Acquire::' "$f" 2>/dev/null; then
            cp "$f" "$root$f"
            echo "apt settings: $f"
        fi
    done
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod +x "$root/usr/sbin/policy-rc.d"
    mount_in /proc -t proc proc
    mount_in /sys -t sysfs -o ro sysfs
    [ -c "$root/dev/null" ] || mount_in /dev --bind /dev
    mount_in /dev/pts --bind /dev/pts
    # Wine's server and the fuzz scratch directories use shared memory.
    mount_in /dev/shm -t tmpfs -o mode=1777,size=2g tmpfs
}

# libssl3 at a version below the security suite's, as on an image made
# before the last security update: the host's own version when it is older,
# otherwise the newest older one the indexes offer.
lagging_libssl() {
    in_chroot 'apt-get update -q'
    local newest version
    newest=$(in_chroot 'apt-cache policy libssl3' | sed -n 's/^ *Candidate: *//p')
    version=${LIBSSL3_VERSION:-}
    if [ -z "$version" ]; then
        local host
        host=$(dpkg-query -W -f='${Version}' libssl3 2>/dev/null || true)
        if [ -n "$host" ] && dpkg --compare-versions "$host" lt "$newest" &&
            in_chroot "apt-cache madison libssl3" | grep -q "| $host |"; then
            version=$host
        else
            version=$(in_chroot 'apt-cache madison libssl3' | awk -F' *[|] *' '{print $2}' |
                while read -r v; do
                    dpkg --compare-versions "$v" lt "$newest" && echo "$v"
                done | sort -V | tail -n 1)
        fi
    fi
    in_chroot 'apt-cache policy libssl3'
    if [ -z "$version" ]; then
        echo "no libssl3 older than $newest can be had: the chroot keeps libssl3 out," \
            "so only the mirror's own state is checked"
        return 0
    fi
    echo "libssl3 $version (the indexes' newest: $newest)"
    in_chroot "apt-get install -y -q --no-install-recommends libssl3=$version"
}

clone() {
    git clone -q --no-hardlinks "$repo" "$root/root/varnelo"
    git -C "$root/root/varnelo" checkout -q --detach "$head"
    git -C "$root/root/varnelo" log --oneline -1
}

start=$SECONDS
step host-tools host_tools || exit 1
step debootstrap bootstrap || exit 1
step prepare prepare || exit 1
step lagging-libssl3 lagging_libssl || exit 1
step clone clone || exit 1
rc=0
step setup.sh in_chroot 'cd /root/varnelo && bash scripts/setup.sh' || rc=$?
if [ "$rc" -eq 0 ]; then
    # A second run must find nothing to do.
    step setup.sh-again in_chroot 'cd /root/varnelo && bash scripts/setup.sh' || rc=$?
fi
if [ "$rc" -eq 0 ] && [ "$setup_only" -eq 0 ]; then
    step test.sh in_chroot_i386 'cd /root/varnelo && bash scripts/test.sh' || rc=$?
fi
total=$((SECONDS - start))
times+=("$(printf '%-16s %2d:%02d' total $((total / 60)) $((total % 60)))")
report | tee "$logs/times.txt"
exit "$rc"
