#!/bin/bash
# (Re)starts the prefix's Wine server for good, for settings read only when it starts (a drive
# letter, the display driver). A persistent server spares every following Wine process its
# start-up; its output must not hold a caller's pipes open. The first program after a start
# launches Wine's background services, which keep that program's output streams: start them
# here, on /dev/null, not inside a test.
set -euo pipefail
wine=${QUORVALENT_WINE:-wine}
wineserver -k >/dev/null 2>&1 || true
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1 &
wait $! || true
"$wine" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
