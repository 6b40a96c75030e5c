#!/bin/bash
# Makes DIR a Wine prefix ready to run the installer: initialised, headless, and with the
# test-only pieces the installer's tests need. Never touches the host's own Wine prefix.
#
#   scripts/wine-prefix.sh [--fresh] DIR
#
# --fresh removes DIR first. Build outputs the prefix needs are taken from the build folder
# named by QUORVALENT_BUILD_DIR.
set -euo pipefail

fresh=0
if [ "${1:-}" = "--fresh" ]; then
    fresh=1
    shift
fi
if [ $# -ne 1 ]; then
    echo "usage: $0 [--fresh] DIR" >&2
    exit 2
fi

# Close every descriptor beyond stdio inherited from the caller: a test runner reads test
# output through pipes, and a long-lived Wine server holding one would never let it finish.
for fd in $(ls /proc/$$/fd); do
    if [ "$fd" -gt 2 ]; then
        eval "exec $fd>&-" 2>/dev/null || true
    fi
done

WINEPREFIX=$(realpath -m "$1")
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
# The loader and registry view for the programs at hand: the test build names them; otherwise
# whatever this host runs (scripts/target-arch.sh).
source "$(dirname "$0")/target-arch.sh"
wine=${QUORVALENT_WINE:-$(test_wine)}
export QUORVALENT_WINE=$wine
export QUORVALENT_REG_VIEW=${QUORVALENT_REG_VIEW:-$(test_reg_view)}

if [ "$fresh" = 1 ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
fi

bash "$(dirname "$0")/restart-wineserver.sh"

# Test-only pieces (each a script in prefix.d, run in name order with this environment).
for step in "$(dirname "$0")"/prefix.d/*.sh; do
    [ -e "$step" ] || continue
    bash "$step" </dev/null
done

echo "Wine prefix ready: $WINEPREFIX"
