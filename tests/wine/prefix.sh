#!/usr/bin/env bash
# Makes the tests' Wine prefix ($WINEPREFIX) and puts in its cfgmgr32.dll
# stand-in: usage: prefix.sh WINE64 CFGMGR32_DLL
set -euo pipefail
"$1" wineboot --init
cp "$2" "$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll"
