# What the tests of the Windows installers check, shared by the per-user
# installer's (installer_test.sh) and the MSI's (msi_test.sh). Sourced with
# $wine (wine64) and $test (the test's name for messages) set.
chromium_id=abcdefghijklmnopabcdefghijklmnop
firefox_id=bridge@example.org
# Each browser's key below the hive, and the extension its manifest must allow.
keys=('Software\Google\Chrome' 'Software\Chromium' 'Software\Microsoft\Edge' 'Software\Mozilla')
allowed=("$chromium_id" "$chromium_id" "$chromium_id" "$firefox_id")

fail() {
    echo "$test: $*" >&2
    exit 1
}

# The default value of a key, as reg query prints it.
default_value() {
    "$wine" reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'
}

unix_path() {
    "$wine" winepath -u "$1" | tr -d '\r'
}

# expect_installed HIVE FOLDER CHECK_OPTION MANIFEST...: the programs are in
# FOLDER, each browser's key under HIVE (in the order of keys) names its
# manifest there, which allows the browser's test extension, and the
# installed bridge-host-setup.exe check (with CHECK_OPTION) finds no problem.
expect_installed() {
    local hive=$1 folder=$2 check_option=$3 i file
    shift 3
    local manifests=("$@") unix_folder
    unix_folder=$(unix_path "$folder")
    for file in bridge-host.exe bridge-host-setup.exe; do
        [ -f "$unix_folder/$file" ] || fail "$file is not installed"
    done
    for i in "${!keys[@]}"; do
        local key="$hive\\${keys[$i]}\\NativeMessagingHosts\\bridge_host" value
        value=$(default_value "$key")
        [ "$value" = "$folder\\${manifests[$i]}" ] || fail "$key names \"$value\", not $folder\\${manifests[$i]}"
        grep -qF "${allowed[$i]}" "$unix_folder/${manifests[$i]}" ||
            fail "${manifests[$i]} does not allow ${allowed[$i]}"
    done
    WINEDLLOVERRIDES=cfgmgr32=n "$wine" "$unix_folder/bridge-host-setup.exe" check $check_option >/dev/null ||
        fail "bridge-host-setup.exe check $check_option finds problems after the install"
}

# expect_no_keys HIVE: no browser's key of the host is left under HIVE.
expect_no_keys() {
    local key
    for key in "${keys[@]/%/\\NativeMessagingHosts\\bridge_host}"; do
        ! "$wine" reg query "$1\\$key" >/dev/null 2>&1 || fail "$1\\$key is left"
    done
}
