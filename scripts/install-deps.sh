#!/bin/bash
# Installs the cross toolchain, Wine and the test tools when any is missing (Debian 12, root),
# and, where the kernel runs no 32-bit code, the user-mode emulator that runs 32-bit Wine.
# Package sources come from the machine's own apt configuration: the repository names no host.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-i686-posix mingw-w64-i686-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          wine wine32:i386 wine64 cmake make
          googletest libz-mingw-w64-dev python3 openssl zip libarchive-tools unzip curl strace
          lld osslsigncode)

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

# The URIs and keyring of the machine's source for its release's own suite, as "URIS|KEYRING",
# from deb822 files (sources.list.d/*.sources) or one-line entries (sources.list, *.list).
release_source() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$codename" '
            function flush() {
                if (!found && types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") {
                    print uris "|" key; found = 1
                }
                types = ""; suites = ""; uris = ""; key = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]*#/ { next }
            tolower($1) == "types:" { $1 = ""; types = substr($0, 2) }
            tolower($1) == "suites:" { $1 = ""; suites = substr($0, 2) }
            tolower($1) == "uris:" { $1 = ""; uris = substr($0, 2) }
            tolower($1) == "signed-by:" { $1 = ""; key = substr($0, 2) }
            END { flush() }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v suite="$codename" '
            $1 == "deb" {
                key = ""; i = 2
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /^\[?signed-by=/) { key = $i; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if ($(i + 1) == suite) print $i "|" key
            }' "$file"
    done
}

# Writes a deb822 source for SUITES (blank-separated) to FILE, from the machine's own source.
write_source() { # FILE SUITES
    local source uris key
    source=$(release_source | head -n 1)
    if [ -z "$source" ]; then
        echo "No apt source for Debian '$codename' found in /etc/apt" >&2
        return 1
    fi
    uris=${source%%|*}
    key=${source#*|}
    {
        echo 'Types: deb'
        echo "URIs: $uris"
        echo "Suites: $2"
        echo 'Components: main'
        [ -z "$key" ] || echo "Signed-By: $key"
    } >"$1"
}

# apt-get update, retried: a mirror caught mid-sync fails one index now and then.
update() {
    local attempt
    for attempt in 1 2 3; do
        apt-get "$@" update -q && return 0
        echo "apt-get update failed (attempt $attempt)" >&2
        sleep 5
    done
    return 1
}
install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"; }

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    dpkg --add-architecture i386
    updated=false
    update && updated=true
    if ! install "${missing[@]}"; then
        [ "$updated" = false ] || exit 1
        # An index missing for one architecture (i386 security, say) leaves the two
        # architectures' library versions apart, and multiarch then refuses to install. The
        # build needs no security update: fall back to the release and its updates alone.
        echo "Retrying with the main Debian suites only" >&2
        sources=$(mktemp -d)
        write_source "$sources/main.sources" "$codename $codename-updates"
        only_main=(-o Dir::Etc::SourceParts="$sources" -o Dir::Etc::SourceList=/dev/null)
        update "${only_main[@]}"
        install "${only_main[@]}" "${missing[@]}"
        rm -rf "$sources"
    fi
fi

# 32-bit Wine on a kernel that runs no 32-bit code: qemu's user-mode emulator, registered only
# inside the test run's own namespace (scripts/i386-namespace.sh). QUORVALENT_EMULATE_I386=1
# asks for it on a kernel that runs 32-bit code too, to try that way of running here. The release's own emulator spends
# about 40 s per process in its page bookkeeping; the backported one does not. Without
# recommends, no machine-wide handler for 32-bit programs comes with it.
if { [ "${QUORVALENT_EMULATE_I386:-}" = 1 ] || ! wine --version >/dev/null 2>&1; } &&
   ! dpkg -s qemu-user >/dev/null 2>&1; then
    backports=/etc/apt/sources.list.d/quorvalent-$codename-backports.sources
    if [ -n "$codename" ] && [ ! -f "$backports" ]; then
        write_source "$backports" "$codename-backports" || rm -f "$backports"
    fi
    echo "Installing: qemu-user ($codename-backports)"
    if ! { update && install -t "$codename-backports" qemu-user; }; then
        echo "qemu-user from $codename-backports is not available; the tests will run a" \
             "64-bit build" >&2
    fi
fi
