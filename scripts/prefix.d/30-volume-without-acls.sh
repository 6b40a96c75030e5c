#!/bin/bash
# Drive V: of the test prefix: a folder that Wine reports as a FAT volume, which keeps no access
# rules (GetVolumeInformationByHandleW without FILE_PERSISTENT_ACLS), for the tests of a TEMP on
# such a volume. Wine takes a drive's file system from the device behind it (dosdevices/v::),
# here a file holding nothing but a FAT16 boot sector. Its mount manager reads the drives when
# the server starts, so the server is started anew, as scripts/wine-prefix.sh starts it.
set -euo pipefail

root="$WINEPREFIX/volume-without-acls"
mkdir -p "$root/folder"
python3 - "$root/fat16-boot-sector.img" <<'EOF'
import struct
import sys

sector = bytearray(4096)
sector[0:11] = b"\xeb\x3c\x90MSDOS5.0"
# Bytes per sector, sectors per cluster, reserved sectors, FATs, root entries, sectors, media,
# sectors per FAT: few enough clusters to make it FAT16.
struct.pack_into("<HBHBHHBH", sector, 0x0B, 512, 4, 1, 2, 512, 20000, 0xF8, 20)
sector[0x26] = 0x29  # extended boot signature
sector[0x2B:0x3E] = b"NO NAME    FAT16   "
sector[510:512] = b"\x55\xaa"
with open(sys.argv[1], "wb") as f:
    f.write(sector)
EOF
ln -sfn "$root/folder" "$WINEPREFIX/dosdevices/v:"
ln -sfn "$root/fat16-boot-sector.img" "$WINEPREFIX/dosdevices/v::"

bash "$(dirname "$0")/../restart-wineserver.sh"
echo "Drive V: without access rules: $root/folder"
