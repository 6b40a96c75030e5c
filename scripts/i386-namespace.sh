#!/bin/bash
# Runs a command where 32-bit x86 programs run although the kernel refuses them: inside a
# private user and mount namespace whose own binfmt_misc hands them to qemu's user-mode
# emulator. Nothing outside the namespace changes, and it needs no privilege beyond a user
# namespace (binfmt_misc in one needs Linux 6.7 or later). Every Wine process of a run,
# wineserver included, must start inside the same namespace.
#
#   scripts/i386-namespace.sh [--when-needed] COMMAND [ARGS...]
#
# --when-needed runs the command as it is where the kernel runs 32-bit programs itself, or
# where the namespace cannot run them either (saying so), and in the namespace otherwise.
# QUORVALENT_EMULATE_I386=1 takes the namespace on a kernel that runs 32-bit code too. The
# command finds the way taken in QUORVALENT_32BIT_RUN: native, emulated or none.
set -euo pipefail
emulator=${QUORVALENT_I386_EMULATOR:-/usr/bin/qemu-i386}
wine32=/usr/lib/wine/wine

case "${1:-}" in
--inside)
    shift
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # ELF, 32-bit, little-endian, executable or shared object, i386 (the mask lets the OS ABI
    # bytes and the type's low bit vary). F opens the emulator now, so it is found whatever
    # the program's own root or namespace.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:$emulator:F" >/proc/sys/fs/binfmt_misc/register
    export QUORVALENT_32BIT_RUN=emulated
    exec "$@"
    ;;
--when-needed)
    shift
    if [ "${QUORVALENT_EMULATE_I386:-}" != 1 ] && "$wine32" --version >/dev/null 2>&1; then
        QUORVALENT_32BIT_RUN=native exec "$@"
    fi
    if ! bash "$0" "$wine32" --version >/dev/null 2>&1; then
        echo "32-bit programs run neither here nor under qemu-i386 in a namespace of our own" \
             "(needs qemu-user and Linux 6.7 or later): the 64-bit build runs instead." >&2
        QUORVALENT_32BIT_RUN=none exec "$@"
    fi
    echo "32-bit programs run under qemu-i386 here, in a namespace of this run's own." >&2
    ;;
esac
[ -x "$emulator" ] || { echo "$emulator is missing" >&2; exit 1; }
exec unshare --user --map-root-user --mount --propagation private bash "$0" --inside "$@"
