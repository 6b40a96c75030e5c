#!/bin/bash
# \\attacker\share in the test prefix: Wine serves a share from dosdevices/unc, here from a local
# folder, for the tests of a TEMP on a share.
set -euo pipefail

root="$WINEPREFIX/network-share"
mkdir -p "$root/Temp" "$WINEPREFIX/dosdevices/unc/attacker"
ln -sfn "$root" "$WINEPREFIX/dosdevices/unc/attacker/share"
echo "Share \\\\attacker\\share: $root"
