#!/bin/bash
# Builds the installer and its tests for the loopback release location and runs every test.
#   scripts/test.sh [BUILD_DIR]     (default: build/test)
# QUORVALENT_TEST_PORT (default 47443) is the loopback port the tests' release server uses.
#
# The installer ships as a 32-bit program, and the tests run it and their own programs as
# such under 32-bit Wine: natively, or where the kernel runs no 32-bit code, under qemu's
# user-mode emulator in a namespace of the run's own (scripts/target-arch.sh). Where neither
# works, the same sources are built and tested as 64-bit programs under Wine's 64-bit loader,
# and the 32-bit installer is still built, warnings and all, beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${QUORVALENT_32BIT_RUN:-}" ] ||
    exec bash scripts/i386-namespace.sh --when-needed bash "$PWD/scripts/test.sh" "$@"
source scripts/target-arch.sh
build=${1:-build/test}
base="https://localhost:${QUORVALENT_TEST_PORT:-47443}/quorvalent"
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
    configure "$build-i686" mingw-w64-i686 -DQUORVALENT_BUILD_TESTS=OFF
    cmake --build "$build-i686" -j"$(nproc)" --target QuorvalentInstaller
fi
configure "$build" "$toolchain"
cmake --build "$build" -j"$(nproc)"
case "$toolchain" in
    mingw-w64-i686) what="the 32-bit build, as shipped" ;;
    *) what="a 64-bit build" ;;
esac
[ "$QUORVALENT_32BIT_RUN" != emulated ] || what+=", under qemu's user-mode emulator"
echo "Testing $what." >&2
cd "$build"
ctest --output-on-failure
