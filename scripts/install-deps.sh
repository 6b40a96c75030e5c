#!/bin/bash
# Installs the cross toolchain, Wine and the test tools when any is missing (Debian 12, root).
set -euo pipefail

packages=(g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          wine wine32:i386 wine64 cmake make
          googletest libz-mingw-w64-dev python3 openssl zip libarchive-tools unzip curl strace
          lld osslsigncode)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    dpkg --add-architecture i386
    # A mirror caught mid-sync fails one index now and then; retry a few times.
    updated=false
    for attempt in 1 2 3; do
        if apt-get update -q; then updated=true; break; fi
        echo "apt-get update failed (attempt $attempt)" >&2
        sleep 5
    done
    install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"; }
    if ! install "${missing[@]}"; then
        [ "$updated" = false ] || exit 1
        # An index missing for one architecture (i386 security, say) leaves the two
        # architectures' library versions apart, and multiarch then refuses to install. The
        # build needs no security update: fall back to the release and its updates alone.
        echo "Retrying with the main Debian suites only" >&2
        sources=$(mktemp -d)
        printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' \
            'Suites: bookworm bookworm-updates' 'Components: main' \
            'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$sources/main.sources"
        only_main=(-o Dir::Etc::SourceParts="$sources" -o Dir::Etc::SourceList=/dev/null)
        apt-get "${only_main[@]}" update -q
        install "${only_main[@]}" "${missing[@]}"
        rm -rf "$sources"
    fi
fi
