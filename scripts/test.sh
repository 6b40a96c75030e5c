#!/bin/bash
# Builds the installer and its tests for the loopback release location and runs every test.
#   scripts/test.sh [BUILD_DIR]     (default: build/test)
# QUORVALENT_TEST_PORT (default 47443) is the loopback port the tests' release server uses.
#
# The installer ships as a 32-bit program, and the tests run it and their own programs as
# such under 32-bit Wine. Some Linux kernels run no 32-bit code at all (IA-32 emulation off);
# there the same sources are built and tested as 64-bit programs under Wine's 64-bit loader,
# and the 32-bit installer is still built, warnings and all, beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
base="https://localhost:${QUORVALENT_TEST_PORT:-47443}/quorvalent"
source scripts/target-arch.sh
configure() { # BUILD_DIR TOOLCHAIN [CMAKE_ARGS...]
    local dir=$1 toolchain=$2 fresh=()
    shift 2
    # CMake keeps the compilers a build folder was first configured with and ignores another
    # toolchain file: a folder made for the other architecture starts afresh.
    if [ -f "$dir/CMakeCache.txt" ] &&
       ! grep -q "^CMAKE_LINKER:FILEPATH=.*/${toolchain#mingw-w64-}-w64-mingw32-" \
            "$dir/CMakeCache.txt"; then
        fresh=(--fresh)
    fi
    cmake "${fresh[@]}" -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DQUORVALENT_RELEASE_BASE="$base" "$@"
}
toolchain=$(test_toolchain)
if [ "$toolchain" != mingw-w64-i686 ]; then
    echo "This kernel runs no 32-bit programs: testing a 64-bit build; building the 32-bit" \
         "installer beside it." >&2
    configure "$build-i686" mingw-w64-i686 -DQUORVALENT_BUILD_TESTS=OFF
    cmake --build "$build-i686" -j"$(nproc)" --target QuorvalentInstaller
fi
configure "$build" "$toolchain"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure
