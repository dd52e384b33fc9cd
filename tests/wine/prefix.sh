#!/usr/bin/env bash
# Makes the tests' Wine prefix ($WINEPREFIX) with its cfgmgr32.dll stand-in
# and the settings of Wine's HID bus (winebus.reg beside this script), and
# starts its Wine server for the tests that use it: usage:
# prefix.sh WINE64 WINESERVER CFGMGR32_DLL
#
# The prefix is made in a Wine session of its own, whose end writes the
# registry to the prefix's files, where the kernel test's guest reads it.
#
# A Wine program that finds no server running starts one, which keeps that
# program's standard error open as long as it runs: a test would wait for the
# end of the host's log that long; so do the system processes that the
# server starts with the first program. So the tests' server is started here,
# with its standard streams and those of the system processes on /dev/null,
# and it stays until the tests' cleanup ends it.
set -euo pipefail
mkdir -p "$WINEPREFIX"
"$2" --kill </dev/null >/dev/null 2>&1 || true
"$1" wineboot --init </dev/null >/dev/null 2>&1
cp "$3" "$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll"
"$1" reg import "$(dirname "$0")/winebus.reg" </dev/null >/dev/null 2>&1
"$2" --kill </dev/null >/dev/null 2>&1
"$2" --wait </dev/null >/dev/null 2>&1
"$2" -p </dev/null >/dev/null 2>&1
"$1" wineboot </dev/null >/dev/null 2>&1
