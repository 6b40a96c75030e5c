#!/bin/bash
# The installer's main job, end to end, on this machine: builds the installer for a loopback
# release location, publishes a sample Quorvalent package and runtime package there, prepares
# a Wine prefix and runs a full installation that you can watch step by step.
#
#   bash scripts/demo.sh          (QUORVALENT_DEMO_PORT, default 47443; QUORVALENT_DEMO_PREFIX)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

bash scripts/install-deps.sh
# Where the kernel runs no 32-bit code, the rest runs where qemu's emulator runs it.
[ -n "${QUORVALENT_32BIT_RUN:-}" ] ||
    exec bash scripts/i386-namespace.sh --when-needed bash "$PWD/scripts/demo.sh" "$@"
port=${QUORVALENT_DEMO_PORT:-47443}
build=$source_dir/build/local
prefix=${QUORVALENT_DEMO_PREFIX:-/tmp/quorvalent-demo-prefix}

# Where no 32-bit program runs, even emulated, the demo builds and runs the 64-bit build of the
# same sources (scripts/target-arch.sh).
source scripts/target-arch.sh
toolchain=$(test_toolchain)
export QUORVALENT_WINE=$(test_wine) QUORVALENT_REG_VIEW=$(test_reg_view)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQUORVALENT_RELEASE_BASE="https://localhost:$port/quorvalent" \
      >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

export QUORVALENT_BUILD_DIR=$build WINEPREFIX=$prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
bash scripts/wine-prefix.sh --fresh "$prefix" >/dev/null

site=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -rf "$site"
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

python3 - "$site" <<'PY'
import os, sys
from tests.support import installer_site, packages
update = os.path.join(sys.argv[1], "quorvalent", *installer_site.UPDATE_PATH.split("/"))
packages.make_app_package(os.path.join(update, "Quorvalent-update.zip"))
packages.make_runtime_package(os.path.join(update, "QuorvalentRuntime.zip"),
                              installer_site.setup_program())
PY

python3 -m tests.support.release_server --root "$site" --https-port "$port" >"$site.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
    grep -q '^https ' "$site.log" 2>/dev/null && break
    sleep 0.1
done

# Wine shows this program's UTF-8 console output only through a pipe.
set +e
# The stand-in setup installs the runtime's client program the way the real one would.
QUORVALENT_SETUP_SECONDS=3 \
QUORVALENT_SETUP_INSTALL='C:\Program Files (x86)\Quorvalent Runtime\QuorvalentRuntime.exe' \
    "$QUORVALENT_WINE" "$build/QuorvalentInstaller.exe" --no-pause 2>&1 | cat
status=${PIPESTATUS[0]}
set -e
rm -f "$site.log"

echo
echo "Exit code: $status"
echo "Installed into C:\\Quorvalent\\Start:"
(cd "$prefix/drive_c/Quorvalent/Start" && find . -type f | sort | sed 's/^\./    /')
echo "Shortcut: $(ls "$prefix/drive_c/users/Public/Desktop/" | grep -i quorvalent)"
echo "Log (C:\\ProgramData\\Quorvalent\\Installer-Native.log):"
sed 's/^/    /' "$prefix/drive_c/ProgramData/Quorvalent/Installer-Native.log"
exit "$status"
