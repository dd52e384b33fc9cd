#!/usr/bin/env bash
# What `cmake --install` lays out and what the Debian package holds: the host,
# the setup command that finds it, and the udev rule with its reload.
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passes=0
failures=0

quietly() {
    "$@" >/dev/null
}

expect() {   # expect DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passes=$((passes + 1))
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

# Installed under a prefix and DESTDIR, the setup command finds its host.
DESTDIR=$scratch/dest cmake --install "$build" --prefix /opt/bridge >/dev/null
installed=$scratch/dest/opt/bridge
expect "host installed" test -x "$installed/lib/bridge-host/bridge-host"
expect "setup command installed" test -x "$installed/bin/bridge-host-setup"
expect "udev rule installed" cmp -s "$installed/lib/udev/rules.d/70-bridge-host.rules" \
    "$source/tools/setup/70-bridge-host.rules"
"$installed/bin/bridge-host-setup" install --dir "$scratch/manifests" --extension abcdefghijklmnopabcdefghijklmnop >/dev/null
expect "manifest names the installed host" \
    grep -q "\"path\": \"$installed/lib/bridge-host/bridge-host\"" "$scratch/manifests/bridge_host.json"

# The Debian package.
cpack -G DEB -B "$scratch/package" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; exit 1; }
deb=$(echo "$scratch"/package/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$scratch/contents"
for file in ./usr/lib/bridge-host/bridge-host ./usr/bin/bridge-host-setup ./usr/lib/udev/rules.d/70-bridge-host.rules; do
    expect "package holds $file" grep -qx "$file" "$scratch/contents"
done
dpkg-deb -e "$deb" "$scratch/control"
expect "postinst reloads udev" grep -q "udevadm control --reload-rules" "$scratch/control/postinst"
expect "postinst is executable" test -x "$scratch/control/postinst"
expect "package depends on its libraries" grep -q "^Depends:.*libudev1" "$scratch/control/control"
dpkg-deb -x "$deb" "$scratch/unpacked"
expect "packaged setup command finds the packaged host" \
    quietly "$scratch/unpacked/usr/bin/bridge-host-setup" install --dir "$scratch/from-package" \
    --extension abcdefghijklmnopabcdefghijklmnop

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
