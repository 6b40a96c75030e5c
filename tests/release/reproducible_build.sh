#!/bin/bash
# Builds the installer twice from one set of sources and requires byte-identical programs.
# The second build runs from a copy of the sources in another folder and builds into a folder
# of another name and depth, so a build path or a link time in the program shows as a
# difference; the spaces in its name also take the link step through quoted paths.
#
#   reproducible_build.sh SOURCE_DIR
set -euo pipefail
source_dir=$(realpath "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT

copy=$work/elsewhere/sources
mkdir -p "$copy"
cp -r "$source_dir/CMakeLists.txt" "$source_dir/cmake" "$source_dir/src" "$copy/"

build() { # SOURCE BUILD
    cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-i686.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DQUORVALENT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$2" --target QuorvalentInstaller -j"$(nproc)" >/dev/null
}
build "$source_dir" "$work/first"
build "$copy" "$work/second/a build folder with spaces"

first=$work/first/QuorvalentInstaller.exe
second="$work/second/a build folder with spaces/QuorvalentInstaller.exe"
if ! cmp -s "$first" "$second"; then
    echo "The two builds differ ($(stat -c %s "$first") and $(stat -c %s "$second") bytes)."
    echo "First differing bytes (offset, first build, second build, octal):"
    cmp -l "$first" "$second" | head -n 20 || true
    exit 1
fi
echo "Identical: $(stat -c %s "$first") bytes, sha256 $(sha256sum <"$first" | cut -d' ' -f1)"
