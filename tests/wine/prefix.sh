#!/usr/bin/env bash
# Makes the tests' Wine prefix ($WINEPREFIX) with its cfgmgr32.dll stand-in,
# and starts its Wine server for the tests that use it: usage:
# prefix.sh WINE64 WINESERVER CFGMGR32_DLL
#
# A Wine program that finds no server running starts one, which keeps that
# program's standard error open as long as it runs: a test would wait for the
# end of the host's log that long; so do the system processes that the
# server starts with the first program. So the server is started here, with
# its standard streams and those of the system processes on /dev/null, and it
# stays until the tests' cleanup ends it. (It refuses to start, with status
# 2, when a server of the prefix runs already.)
set -euo pipefail
mkdir -p "$WINEPREFIX"
"$2" -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
"$1" wineboot --init </dev/null >/dev/null 2>&1
cp "$3" "$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll"
