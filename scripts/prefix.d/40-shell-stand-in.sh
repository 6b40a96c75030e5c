#!/bin/bash
# Registers the tests' Shell stand-in as Shell.Application in the test prefix: Wine's Shell
# cannot open a ZIP file as a folder. Only the prefix's registry changes; on Windows nothing
# of this exists and the installer talks to the real Shell.
set -euo pipefail

clsid="{14E310E1-8465-42AE-A643-65C162755415}"
dll="${QUORVALENT_BUILD_DIR:?QUORVALENT_BUILD_DIR must name the build folder}/quorvalent_shell_stand_in.dll"
if [ ! -f "$dll" ]; then
    echo "Shell stand-in not built: $dll" >&2
    exit 1
fi
# The host path as Wine sees it through drive Z:.
windows_dll="Z:$(realpath "$dll" | tr / '\\')"

# Wine's COM reads neither per-user classes nor per-user ProgIDs: both go under HKLM, the
# class in the registry view of the programs under test (32-bit for the shipped installer).
wine=${QUORVALENT_WINE:-wine}
view=${QUORVALENT_REG_VIEW:-32}
"$wine" reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /d "$windows_dll" \
    /f /reg:$view >/dev/null
"$wine" reg add "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel \
    /d Apartment /f /reg:$view >/dev/null
"$wine" reg add "HKLM\\Software\\Classes\\Shell.Application\\CLSID" /ve /d "$clsid" \
    /f /reg:$view >/dev/null
echo "Shell stand-in registered: $windows_dll"
