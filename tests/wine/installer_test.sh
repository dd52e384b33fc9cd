#!/usr/bin/env bash
# The Windows installer run silently under Wine, as a user without
# administrator rights runs it, then its uninstaller: usage:
# installer_test.sh WINE64 INSTALLER (in the tests' $WINEPREFIX).
set -euo pipefail
wine=$1 installer=$2
chromium_id=abcdefghijklmnopabcdefghijklmnop
firefox_id=bridge@example.org
keys=('Software\Google\Chrome' 'Software\Chromium' 'Software\Microsoft\Edge' 'Software\Mozilla')
browsers=(chrome chromium edge firefox)
allowed=("$chromium_id" "$chromium_id" "$chromium_id" "$firefox_id")
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\bridge-host'

fail() {
    echo "installer test: $*" >&2
    exit 1
}

# The default value of a key, as reg query prints it.
default_value() {
    "$wine" reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'
}

folder=$("$wine" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')'\Programs\bridge-host'
unix_folder=$("$wine" winepath -u "$folder" | tr -d '\r')
rm -rf "$unix_folder"

# Silent, it needs the IDs.
status=0
"$wine" "$installer" /S || status=$?
[ "$status" -eq 2 ] || fail "a silent install without /EXTENSION= ended with status $status, not 2"
[ ! -e "$unix_folder" ] || fail "a silent install without /EXTENSION= made $unix_folder"

"$wine" "$installer" /S "/EXTENSION=$chromium_id,$firefox_id" || fail "the silent install failed"
for file in bridge-host.exe bridge-host-setup.exe uninstall.exe; do
    [ -f "$unix_folder/$file" ] || fail "$file is not installed"
done
for i in "${!keys[@]}"; do
    manifest="$folder\\bridge_host.${browsers[$i]}.json"
    value=$(default_value "HKCU\\${keys[$i]}\\NativeMessagingHosts\\bridge_host")
    [ "$value" = "$manifest" ] || fail "${keys[$i]} names \"$value\", not $manifest"
    grep -q "${allowed[$i]}" "$unix_folder/bridge_host.${browsers[$i]}.json" ||
        fail "the ${browsers[$i]} manifest does not allow ${allowed[$i]}"
done
"$wine" reg query "$uninstall_key" /v UninstallString | grep -q 'uninstall\.exe' ||
    fail "no Uninstall key naming uninstall.exe"
WINEDLLOVERRIDES=cfgmgr32=n "$wine" "$unix_folder/bridge-host-setup.exe" check >/dev/null ||
    fail "bridge-host-setup.exe check finds problems after the install"

# _?= runs the uninstaller in place, to its end, rather than from a copy in
# the temporary folder; it cannot delete itself then, and leaves that to us.
"$wine" "$unix_folder/uninstall.exe" /S "_?=$folder" || fail "the silent uninstall failed"
[ "$(ls -A "$unix_folder")" = uninstall.exe ] || fail "the uninstaller left $(ls -A "$unix_folder")"
for key in "${keys[@]/%/\\NativeMessagingHosts\\bridge_host}" "${uninstall_key#HKCU\\}"; do
    ! "$wine" reg query "HKCU\\$key" >/dev/null 2>&1 || fail "the uninstaller left HKCU\\$key"
done
rm -rf "$unix_folder"
echo "installer test: PASS"
