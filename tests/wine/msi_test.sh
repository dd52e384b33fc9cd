#!/usr/bin/env bash
# The per-machine MSI, made as the Windows build makes it from that build's
# programs for the tests' extensions, installed and removed silently under
# Wine as a deployment tool does: usage:
# msi_test.sh WINE64 WINDOWS_BUILD SOURCE_DIR VERSION (in the tests' $WINEPREFIX).
set -euo pipefail
wine=$1 build=$2 source=$3 version=$4
test="MSI test"
. "$(dirname "$0")/installed.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
folder='C:\Program Files\bridge-host'
unix_folder=$(unix_path "$folder")

# make_msi NAME VERSION IDS: $scratch/NAME.msi.
make_msi() {
    cmake -DWIXL=wixl "-DBUILD_DIR=$build" "-DOUTPUT=$scratch/$1.msi" "-DVERSION=$2" -DHOST_NAME=bridge_host \
        "-DEXTENSIONS=$3" -P "$source/packaging/windows/msi.cmake" || fail "msi.cmake could not make $1.msi"
}

# A table of the package, without msiinfo's two lines of column types.
table() {
    msiinfo export "$scratch/both.msi" "$1" | tr -d '\r' | tail -n +4
}

# The entries of Windows' list of installed programs that are ours.
installed_entries() {
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        grep -c 'DisplayName *REG_SZ *bridge host$' || true
}

make_msi both "$version" "$chromium_id,$firefox_id"
[ "$(table Property | awk '$1 == "ALLUSERS" { print $2 }')" = 1 ] || fail "the MSI is not per machine"
msiinfo suminfo "$scratch/both.msi" | grep -q '^Template: x64;' || fail "the MSI is not for x64"
components=$(table Component | cut -f 1 | sort | tr '\n' ' ')
[ "$components" = "ChromiumManifest FirefoxManifest Host SetupCommand " ] || fail "its components are $components"
[ -z "$(table CustomAction)" ] || fail "it runs programs of its own: $(table CustomAction)"

"$wine" msiexec /i "$scratch/both.msi" /qn || fail "the silent install failed"
expect_installed HKLM "$folder" --system bridge_host.{chromium,chromium,chromium,firefox}-family.json
[ "$(installed_entries)" = 1 ] || fail "Windows lists $(installed_entries) bridge hosts, not 1"

# One of the same version for other extensions replaces it; an older one is refused.
make_msi firefox "$version" "$firefox_id"
"$wine" msiexec /i "$scratch/firefox.msi" /qn || fail "the install of a package for other extensions failed"
[ "$(ls "$unix_folder" | tr '\n' ' ')" = "bridge-host-setup.exe bridge-host.exe bridge_host.firefox-family.json " ] ||
    fail "after the package for other extensions, $unix_folder holds $(ls "$unix_folder")"
[ -z "$(default_value 'HKLM\Software\Chromium\NativeMessagingHosts\bridge_host')" ] ||
    fail "the package for other extensions left Chromium's key"
[ "$(installed_entries)" = 1 ] || fail "Windows lists $(installed_entries) bridge hosts, not 1"
make_msi older 0.0.1 "$chromium_id"
! "$wine" msiexec /i "$scratch/older.msi" /qn || fail "an older package installed over a newer one"
[ -f "$unix_folder/bridge_host.firefox-family.json" ] || fail "the refused older package changed the installation"

"$wine" msiexec /x "$scratch/firefox.msi" /qn || fail "the silent removal failed"
[ ! -e "$unix_folder" ] || fail "the removal left $(ls -A "$unix_folder")"
expect_no_keys HKLM
[ "$(installed_entries)" = 0 ] || fail "Windows still lists the bridge host after its removal"
echo "$test: PASS"
