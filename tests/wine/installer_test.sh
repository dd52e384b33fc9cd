#!/usr/bin/env bash
# The Windows installer run silently under Wine, as a user without
# administrator rights runs it, then its uninstaller: usage:
# installer_test.sh WINE64 INSTALLER (in the tests' $WINEPREFIX).
set -euo pipefail
wine=$1 installer=$2
test="installer test"
. "$(dirname "$0")/installed.sh"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\bridge-host'

folder=$("$wine" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')'\Programs\bridge-host'
unix_folder=$(unix_path "$folder")
rm -rf "$unix_folder"

# Silent, it needs the IDs.
status=0
"$wine" "$installer" /S || status=$?
[ "$status" -eq 2 ] || fail "a silent install without /EXTENSION= ended with status $status, not 2"
[ ! -e "$unix_folder" ] || fail "a silent install without /EXTENSION= made $unix_folder"

"$wine" "$installer" /S "/EXTENSION=$chromium_id,$firefox_id" || fail "the silent install failed"
[ -f "$unix_folder/uninstall.exe" ] || fail "uninstall.exe is not installed"
expect_installed HKCU "$folder" "" bridge_host.{chrome,chromium,edge,firefox}.json
"$wine" reg query "$uninstall_key" /v UninstallString | grep -q 'uninstall\.exe' ||
    fail "no Uninstall key naming uninstall.exe"

# _?= runs the uninstaller in place, to its end, rather than from a copy in
# the temporary folder; it cannot delete itself then, and leaves that to us.
"$wine" "$unix_folder/uninstall.exe" /S "_?=$folder" || fail "the silent uninstall failed"
[ "$(ls -A "$unix_folder")" = uninstall.exe ] || fail "the uninstaller left $(ls -A "$unix_folder")"
expect_no_keys HKCU
! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstaller left $uninstall_key"
rm -rf "$unix_folder"
echo "$test: PASS"
