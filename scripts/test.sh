#!/bin/bash
# Builds the installer and its tests for the loopback release location and runs every test.
#   scripts/test.sh [BUILD_DIR]     (default: build/test)
# QUORVALENT_TEST_PORT (default 47443) is the loopback port the tests' release server uses.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
      -DCMAKE_BUILD_TYPE=Release -DQUORVALENT_RELEASE_BASE="https://localhost:${QUORVALENT_TEST_PORT:-47443}/quorvalent"
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure
