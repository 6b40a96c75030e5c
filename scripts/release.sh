#!/bin/bash
# Builds the installer for the public release location, signs it when a certificate is given,
# and writes its checksum:
#
#   bash scripts/release.sh OUT_DIR
#
# OUT_DIR receives QuorvalentInstaller.exe and SHA256SUMS (of the file as shipped, signed or
# not). Signing (Authenticode, SHA-256, with osslsigncode) is done when QUORVALENT_SIGN_PFX
# names a PKCS#12 file holding the publisher's certificate and private key;
# QUORVALENT_SIGN_PASSWORD is its password and QUORVALENT_SIGN_TIMESTAMP_URL, when set, an
# RFC 3161 timestamp server. QUORVALENT_RELEASE_BUILD_DIR keeps the build folder between runs
# (default: a fresh temporary one). Nothing lands in OUT_DIR unless every step succeeded.
set -euo pipefail

fail() {
    echo "release: $*" >&2
    exit 1
}

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 OUT_DIR" >&2
    exit 2
fi
out_dir=$(realpath -m "$1")
cd "$(dirname "$0")/.."
source_dir=$PWD

pfx=${QUORVALENT_SIGN_PFX:-}
timestamp_url=${QUORVALENT_SIGN_TIMESTAMP_URL:-}

pkcs12_options=()
read_pkcs12() {
    openssl pkcs12 "${pkcs12_options[@]}" -in "$pfx" -passin env:QUORVALENT_SIGN_PASSWORD "$@"
}

# The certificate is checked before the build, so a mistake costs seconds, not a build.
check_certificate() {
    [ -e "$pfx" ] || fail "signing certificate not found: $pfx (QUORVALENT_SIGN_PFX)"
    [ -f "$pfx" ] && [ -r "$pfx" ] ||
        fail "signing certificate cannot be read: $pfx (QUORVALENT_SIGN_PFX)"
    [ -n "${QUORVALENT_SIGN_PASSWORD+set}" ] ||
        fail "QUORVALENT_SIGN_PFX is set but QUORVALENT_SIGN_PASSWORD is not (export it, empty if the file has no password)"
    local report
    if report=$(read_pkcs12 -nokeys 2>&1 >/dev/null); then
        return
    fi
    # Certificates exported by older Windows versions use ciphers that OpenSSL 3 keeps in its
    # legacy provider.
    pkcs12_options=(-legacy)
    if ! report+=$(read_pkcs12 -nokeys 2>&1 >/dev/null); then
        case "$report" in
        *"invalid password"* | *"mac verify"*)
            fail "wrong password for the signing certificate $pfx (QUORVALENT_SIGN_PASSWORD)" ;;
        *)
            fail "signing certificate is not a readable PKCS#12 file: $pfx" ;;
        esac
    fi
}

if [ -n "$pfx" ]; then
    check_certificate
    command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/install-deps.sh installs it)"
else
    [ -z "${QUORVALENT_SIGN_PASSWORD:-}" ] ||
        fail "QUORVALENT_SIGN_PASSWORD is set but QUORVALENT_SIGN_PFX is not"
    [ -z "$timestamp_url" ] ||
        fail "QUORVALENT_SIGN_TIMESTAMP_URL is set but QUORVALENT_SIGN_PFX is not"
fi

stage=$(mktemp -d "${TMPDIR:-/tmp}/quorvalent-release-XXXXXX")
trap 'rm -rf "$stage"' EXIT
build=${QUORVALENT_RELEASE_BUILD_DIR:-$stage/build}

# Nothing in the program carries a time; should a tool ever want one, it takes the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi

# -U drops a release location that an earlier configuration of a kept folder may hold: the
# release is always built for the project's default, the public one.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQUORVALENT_BUILD_TESTS=OFF -UQUORVALENT_RELEASE_BASE \
      >/dev/null || fail "configuring the build failed"
cmake --build "$build" --target QuorvalentInstaller -j"$(nproc)" >/dev/null ||
    fail "building the installer failed"
release_base=$(sed -n 's/^QUORVALENT_RELEASE_BASE:STRING=//p' "$build/CMakeCache.txt")
program=$stage/QuorvalentInstaller.exe

if [ -n "$pfx" ]; then
    sign=(osslsigncode sign -pkcs12 "$pfx" -readpass /dev/stdin -h sha256
          -n "Quorvalent Installer Native" -i "$release_base"
          -in "$build/QuorvalentInstaller.exe" -out "$program")
    [ -z "$timestamp_url" ] || sign+=(-ts "$timestamp_url")
    # The password goes through a pipe, never onto a command line that other users can list.
    if ! sign_report=$(printf '%s' "$QUORVALENT_SIGN_PASSWORD" | "${sign[@]}" 2>&1); then
        echo "$sign_report" >&2
        fail "signing failed${timestamp_url:+ (timestamp server $timestamp_url)}"
    fi
    signed_by=$(read_pkcs12 -nokeys -clcerts 2>/dev/null | openssl x509 -noout -subject || true)
    status="signed (Authenticode, SHA-256) by ${signed_by#subject=}"
    if [ -n "$timestamp_url" ]; then
        status+=", timestamped by $timestamp_url"
    else
        status+=", not timestamped: the signature stops being valid when the certificate expires"
    fi
else
    cp "$build/QuorvalentInstaller.exe" "$program"
    status="UNSIGNED: no signing certificate given (QUORVALENT_SIGN_PFX); Windows will name no publisher"
fi

(cd "$stage" && sha256sum QuorvalentInstaller.exe >SHA256SUMS)
mkdir -p "$out_dir"
cp "$program" "$stage/SHA256SUMS" "$out_dir/" || fail "cannot write to $out_dir"

echo "Release base: $release_base"
echo "Program:      $out_dir/QuorvalentInstaller.exe ($(stat -c %s "$out_dir/QuorvalentInstaller.exe") bytes)"
echo "SHA-256:      $(cut -d' ' -f1 "$out_dir/SHA256SUMS")"
echo "Signature:    $status"
