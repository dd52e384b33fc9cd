#!/usr/bin/env bash
# What `cmake --install` lays out and what the Debian and RPM packages hold:
# the host, the tools that find it, the udev rule with its reload, manual
# pages and documents. Then a package built for given extensions, which
# carries their manifests: as root it is installed for real and purged, and
# must leave nothing of its own or of the setup command's behind.
#   package_test.sh BUILD_DIR SOURCE_DIR [ARCHITECTURE]
# ARCHITECTURE names a cross-build's target as Debian does (arm64): its
# programs run under emulation, and only what it makes itself is checked.
set -euo pipefail
build=$1
source=$2
architecture=${3:-$(dpkg --print-architecture)}
scratch=$(mktemp -d)
passes=0
failures=0
skips=0

CHROMIUM_ID=abcdefghijklmnopabcdefghijklmnop
FIREFOX_ID=addon@example.org
# Host names of the test's own, which no browser test on this machine uses.
NAME=bridge_host_package_test
SETUP_NAME=bridge_host_package_test_setup
OTHER_NAME=bridge_host_package_test_other
PAGES=(/usr/share/man/man1/bridge-host-setup.1.gz /usr/share/man/man1/bridge-console.1.gz
    /usr/share/man/man8/bridge-host.8.gz)
PACKAGE_FILES=(/usr/lib/bridge-host/bridge-host /usr/bin/bridge-host-setup /usr/bin/bridge-console
    /usr/lib/udev/rules.d/70-bridge-host.rules /usr/share/doc/bridge-host/README.md
    /usr/share/doc/bridge-host/copyright "${PAGES[@]}")
# README.md's pages go beside it.
for page in "$source"/docs/*.md "$source"/docs/*.png; do
    PACKAGE_FILES+=("/usr/share/doc/bridge-host/docs/${page##*/}")
done
MANIFESTS=(/etc/opt/chrome/native-messaging-hosts/$NAME.json /etc/chromium/native-messaging-hosts/$NAME.json
    /etc/opt/edge/native-messaging-hosts/$NAME.json /usr/lib/mozilla/native-messaging-hosts/$NAME.json)
RULE_COPY=/etc/udev/rules.d/70-bridge-host.rules

cleanup() {
    [ -z "${installed_for_real:-}" ] || remove_for_real
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'echo "package_test.sh: line $LINENO failed" >&2' ERR

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

# logged LOG COMMAND...: runs the command, showing its output only when it fails.
logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
}

# Each package's files (not its folders), one "mode path" a line.
deb_files() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, substr($6, 2) }' | sort
}
rpm_files() {
    rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$1" | awk '$1 !~ /^d/' | sort
}

# check_packages LABEL DIR RPM_ALSO FILE...: the .deb in DIR holds exactly these
# files, and the .rpm the same and the "mode path" lines of RPM_ALSO.
check_packages() {
    local label=$1 dir=$2 rpm_also=$3
    shift 3
    local deb rpm
    deb=$(echo "$dir"/*.deb)
    rpm=$(echo "$dir"/*.rpm)
    expect "$label .deb holds its files and no others" \
        diff <(printf '%s\n' "$@" | sort) <(deb_files "$deb" | cut -d' ' -f2 | sort)
    expect "$label .rpm holds the .deb's files${rpm_also:+ and $rpm_also}" \
        diff <({ deb_files "$deb"; [ -z "$rpm_also" ] || echo "$rpm_also"; } | sort) <(rpm_files "$rpm")
    dpkg-deb -e "$deb" "$dir/control"
    local script
    # CPack sets a blank line before some of the RPM's scripts.
    for script in postinst:POSTIN prerm:PREUN postrm:POSTUN; do
        expect "$label .rpm runs the .deb's ${script%:*}" \
            cmp -s "$dir/control/${script%:*}" <(rpm -qp --qf "%{${script#*:}}\n" "$rpm" | sed '/./,$!d')
    done
}

# Installed under a prefix and DESTDIR, the setup command and the console find their host.
DESTDIR=$scratch/dest cmake --install "$build" --prefix /opt/bridge >/dev/null
installed=$scratch/dest/opt/bridge
expect "host installed" test -x "$installed/lib/bridge-host/bridge-host"
expect "setup command installed" test -x "$installed/bin/bridge-host-setup"
expect "udev rule installed" cmp -s "$installed/lib/udev/rules.d/70-bridge-host.rules" \
    "$source/tools/setup/70-bridge-host.rules"
"$installed/bin/bridge-host-setup" install --dir "$scratch/manifests" --extension $CHROMIUM_ID >/dev/null
expect "manifest names the installed host" \
    grep -q "\"path\": \"$installed/lib/bridge-host/bridge-host\"" "$scratch/manifests/bridge_host.json"
expect "installed console talks to the installed host" \
    grep -q '^{"call":"getDevices"' <(echo '{"call":"getDevices"}' | "$installed/bin/bridge-console" 2>/dev/null)

# The packages as they are built by default.
logged "$scratch/cpack.log" cpack -G "DEB;RPM" -B "$scratch/package" --config "$build/CPackConfig.cmake"
check_packages "default" "$scratch/package" "" "${PACKAGE_FILES[@]}"
control=$scratch/package/control
declare -A RPM_ARCHITECTURES=([amd64]=x86_64 [arm64]=aarch64) MACHINES=([amd64]=x86-64 [arm64]="ARM aarch64")
expect "the .deb is for $architecture" grep -qx "Architecture: $architecture" "$control/control"
expect "the .rpm is for ${RPM_ARCHITECTURES[$architecture]}" \
    test "$(rpm -qp --qf '%{ARCH}' "$scratch"/package/*.rpm)" = "${RPM_ARCHITECTURES[$architecture]}"
expect "postinst reloads udev" grep -q "udevadm control --reload-rules" "$control/postinst"
expect "postinst is executable" test -x "$control/postinst"
expect "package depends on its libraries" grep -q "^Depends:.*libudev1" "$control/control"
unpacked=$scratch/unpacked
dpkg-deb -x "$scratch"/package/*.deb "$unpacked"
expect "the packaged host is a program for $architecture" \
    grep -q ", ${MACHINES[$architecture]}," <(file -b "$unpacked/usr/lib/bridge-host/bridge-host")
expect "packaged setup command finds the packaged host" \
    quietly "$unpacked/usr/bin/bridge-host-setup" install --dir "$scratch/from-package" --extension $CHROMIUM_ID
for page in "${PAGES[@]}"; do
    text=$(man --warnings -l "$unpacked$page" 2>"$scratch/warnings")
    expect "$page renders without warnings" test ! -s "$scratch/warnings" -a -n "$(grep -x NAME <<<"$text")"
done
setup_page=$(man -l "$unpacked${PAGES[0]}")
for option in $("$unpacked/usr/bin/bridge-host-setup" --help | grep -oE -- '--[a-z-]+' | sort -u); do
    expect "bridge-host-setup(1) tells of $option" grep -qe "^ *$option\b" <<<"$setup_page"
done

# A package for given extensions, built as docs/installing.md says, where
# GoogleTest is not to be had; the machine's own build.
cross_build=$([ "$architecture" = "$(dpkg --print-architecture)" ] || echo yes)
if [ -z "$cross_build" ]; then
    extension_build=$scratch/extension-build
    logged "$scratch/configure.log" cmake -S "$source" -B "$extension_build" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
        "-DBRIDGE_EXTENSIONS=$CHROMIUM_ID;$FIREFOX_ID" -DBRIDGE_HOST_NAME=$NAME
    logged "$scratch/build.log" cmake --build "$extension_build" -j2
    logged "$scratch/cpack.log" cpack -G "DEB;RPM" -B "$scratch/extension" --config "$extension_build/CPackConfig.cmake"
    # The .rpm carries Firefox's manifest also where Fedora's and openSUSE's Firefox reads it.
    check_packages "extension" "$scratch/extension" "-rw-r--r-- /usr/lib64/mozilla/native-messaging-hosts/$NAME.json" \
        "${PACKAGE_FILES[@]}" "${MANIFESTS[@]}"
fi

# The folders that the package and the setup command write into, and all they hold.
machine_folders() {
    find /etc/opt /etc/chromium /usr/lib/mozilla 2>/dev/null | sort || true
}

is_installed() {
    dpkg-query -W -f='${Status}' bridge-host 2>/dev/null | grep -qv 'not-installed'
}

purge() {
    logged "$scratch/purge.log" apt-get -o DPkg::Lock::Timeout=600 purge -y bridge-host
}

# Takes away what the test installed, whether it passed or not.
remove_for_real() {
    ! is_installed || purge
    "$build/bridge-host-setup" uninstall --system --browser chromium --name $OTHER_NAME >/dev/null || true
    # A machine without udev had no folder for its rules before.
    [ -n "$udev_folder_was_there" ] || rmdir /etc/udev/rules.d /etc/udev 2>/dev/null || true
    installed_for_real=
}

# Installed for real, as root, on a machine where no bridge host is installed
# already; one test at a time, as they share the machine's folders. apt-get
# waits for the package system, which other installs may hold.
install_for_real() {
    exec {lock}>/run/lock/bridge-host-package-test.lock
    flock -w 600 "$lock"
    if is_installed || [ -e $RULE_COPY ]; then
        echo "skipped: installing the package, as a bridge host is installed here already"
        skips=$((skips + 1))
        return
    fi
    local folders_before
    folders_before=$(machine_folders)
    udev_folder_was_there=$([ -d /etc/udev ] && echo yes || true)
    installed_for_real=yes
    logged "$scratch/install.log" apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
        "$(echo "$scratch"/extension/*.deb)"
    for manifest in "${MANIFESTS[@]}"; do
        expect "the package owns $manifest" grep -q "^bridge-host: $manifest\$" <(dpkg -S "$manifest")
    done
    local check
    # No device is attached: check's status says so, its lines say the rest.
    check=$(HOME=$scratch/home /usr/bin/bridge-host-setup check --name $NAME --extension $CHROMIUM_ID \
        --extension $FIREFOX_ID || true)
    for browser in chrome chromium edge firefox; do
        expect "$browser starts the installed host through the package's manifest" \
            grep -qE "^ok +$browser: /.*/$NAME.json starts /usr/lib/bridge-host/bridge-host, which answers getDevices$" \
            <<<"$check"
    done

    # What the setup command writes as root (manifests through log wrappers),
    # and a manifest for another host. The package's rule is in place, so no
    # copy of it goes to /etc.
    local written
    written=$(HOME=$scratch/home /usr/bin/bridge-host-setup install --name $SETUP_NAME --extension $CHROMIUM_ID \
        --extension $FIREFOX_ID --log "$scratch/host.log" | sed -n 's/^wrote //p')
    expect "setup wrote log wrappers" grep -q -- "-log.sh$" <<<"$written"
    expect "setup leaves the package's udev rule in charge" test ! -e $RULE_COPY
    "$build/bridge-host-setup" install --system --browser chromium --name $OTHER_NAME --extension $CHROMIUM_ID \
        --host "$build/bridge-host" >/dev/null

    purge
    for file in "${MANIFESTS[@]}" $written; do
        expect "purge leaves no $file" test ! -e "$file"
    done
    expect "purge leaves the manifest of another host" test -f /etc/chromium/native-messaging-hosts/$OTHER_NAME.json
    remove_for_real
    expect "the machine's browser folders are as they were" diff <(echo "$folders_before") <(machine_folders)
}

if [ -n "$cross_build" ]; then
    echo "skipped: a package for given extensions, and installing it: the machine's own build's test does that"
    skips=$((skips + 1))
elif [ "$(id -u)" -eq 0 ]; then
    install_for_real
else
    echo "skipped: installing the package, which needs root"
    skips=$((skips + 1))
fi

echo "$passes passed, $failures failed, $skips skipped"
[ "$failures" -eq 0 ] || exit 1
