#!/bin/bash
# Wine's null display driver: with no X server, Wine then still makes windows (hidden ones are
# all the installer makes), and `wineboot --end-session` sends them the session's end as
# Windows does at a log-off. With a display, a program that crashes (a test's on purpose) would
# wait for its crash dialog to be closed: there is none. The driver is chosen when the server
# starts, so the server is started anew, as scripts/wine-prefix.sh starts it.
set -euo pipefail

wine=${QUORVALENT_WINE:-wine}
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
bash "$(dirname "$0")/../restart-wineserver.sh"
echo "Null display driver"
