#!/bin/bash
# Installs the cross toolchain, Wine and the test tools when any is missing (Debian 12, root).
set -euo pipefail

packages=(g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 wine64 cmake make
          googletest libz-mingw-w64-dev python3 openssl zip libarchive-tools unzip curl strace
          lld osslsigncode)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    dpkg --add-architecture i386
    # A mirror caught mid-sync fails one index now and then; retry, then go on with the
    # indexes that did arrive (the install below fails plainly if a package is still missing).
    for attempt in 1 2 3; do
        apt-get update -q && break
        echo "apt-get update failed (attempt $attempt)" >&2
        sleep 5
    done
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
