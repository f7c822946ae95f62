#!/usr/bin/env bash
# i386-lane.sh COMMAND [ARGS...]: runs COMMAND where 32-bit (i386) Linux
# programs start, which Wine's 32-bit loader is: directly on a kernel that
# runs them, and otherwise in a user and mount namespace of its own whose
# binfmt_misc hands i386 programs to qemu-user (Linux 6.7 and later let such
# a namespace mount its own binfmt_misc). Nothing changes outside it: a
# host-wide entry would also catch other jobs' i386 programs, such as the
# 32-bit helpers a 64-bit Wine prefix starts while it boots.
#
# Everything COMMAND starts stays in the namespace and sees the entry: Wine
# starts each of its processes (services, the desktop, the program) as a new
# i386 executable, so emulating the first one alone would not do. The
# namespace ends with its last process; a Wine server started inside serves
# programs started outside it as well, since they share the files.
#
# VARNELO_I386_EMULATE=1 emulates even where the kernel runs i386 programs
# (binfmt_misc's entries come before the kernel's own ELF loader), to try on
# such a machine the lane that machines without IA-32 emulation take.
#
# Exits 1, saying why, when 32-bit programs cannot be run at all: no qemu-user
# 8.1 or later (scripts/setup.sh installs it), or a kernel that refuses the
# namespace. Inside, VARNELO_I386_LANE says which lane it is: native or
# emulated.
set -u
qemu=${VARNELO_QEMU_I386:-/usr/bin/qemu-i386}
probe=/usr/lib/wine/wine

# Whether an i386 program starts here: the kernel runs it, or this is
# already a lane. Without Wine's 32-bit loader there is nothing to emulate
# for, and wine-loader.sh names what is missing.
runs_i386() { [ ! -x "$probe" ] || "$probe" --version >/dev/null 2>&1; }

# --inside: registers the entry in the namespace this runs in, which the
# caller has made (scripts/check_fresh_setup.sh makes it before entering a
# chroot, where the kernel makes none).
if [ "${1:-}" = --inside ]; then
    shift
    # The standard i386 ELF entry: executables and shared objects, any ABI
    # version. "F" opens qemu now, so that it is found from any root later.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    binfmt=/proc/sys/fs/binfmt_misc
    if ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
        echo "i386-lane: this kernel gives a new namespace no binfmt_misc of its own" \
            "(Linux 6.7 or later does), so 32-bit programs cannot be emulated here" >&2
        exit 1
    fi
    printf '%s' ":i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" || {
        echo "i386-lane: cannot register $qemu for i386 programs" >&2
        exit 1
    }
    runs_i386 || {
        echo "i386-lane: $qemu does not run Wine's 32-bit loader ($($qemu --version | head -1))" >&2
        exit 1
    }
    export VARNELO_I386_LANE=emulated
    exec "$@"
fi

# qemu_usable: whether $qemu is there and new enough. Wine reserves its
# address space with MAP_FIXED_NOREPLACE, which qemu's user mode honours from
# 8.1 on; with an older qemu every Wine process dies after minutes of trying.
qemu_usable() {
    local version major minor
    if [ ! -x "$qemu" ]; then
        echo "i386-lane: there is no $qemu to emulate 32-bit (i386) programs" \
            "(bash scripts/setup.sh installs qemu-user)" >&2
        return 1
    fi
    version=$("$qemu" --version | sed -nE '1s/.*version ([0-9]+)\.([0-9]+).*/\1 \2/p')
    read -r major minor <<<"${version:-0 0}"
    if [ "$major" -lt 8 ] || { [ "$major" -eq 8 ] && [ "$minor" -lt 1 ]; }; then
        echo "i386-lane: $qemu is version $major.$minor; Wine needs qemu-user 8.1 or later" \
            "(bash scripts/setup.sh installs it from bookworm-backports)" >&2
        return 1
    fi
}

# --check: only whether the emulation could be had (scripts/setup.sh asks).
if [ "${1:-}" = --check ]; then
    qemu_usable
    exit
fi
if [ -n "${VARNELO_I386_LANE:-}" ] || { [ -z "${VARNELO_I386_EMULATE:-}" ] && runs_i386; }; then
    export VARNELO_I386_LANE=${VARNELO_I386_LANE:-native}
    exec "$@"
fi
qemu_usable || exit 1
exec unshare --user --map-root-user --mount --propagation private \
    bash "${BASH_SOURCE[0]}" --inside "$@"
