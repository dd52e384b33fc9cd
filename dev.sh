#!/usr/bin/env bash
# The project's two commands:
#   ./dev.sh run [--real]   install what is missing, build, and talk to the host
#                           (on a virtual device; --real: on the machine's HID devices)
#   ./dev.sh test           install what is missing, build, and run every test
#   ./dev.sh try [EXTENSION_DIR] [--browser chromium|firefox] [--headless]
#                           an extension (default: the example) in a throwaway
#                           profile of the browser, on a virtual device
#   ./dev.sh windows        install what is missing and cross-build the Windows
#                           executables into build-windows
#   ./dev.sh arm64          install what is missing, cross-build for arm64 Linux
#                           into build-arm64 and make its .deb and .rpm there
#   ./dev.sh soak [N]       N "write"s (default 1000000) to an echoing virtual
#                           device, every reply and echo checked; time and memory
#   ./dev.sh bench [--browsers] [ROUNDS]
#                           the hosts' speed beside a bare echo host, as a
#                           table; --browsers: through Chromium and Firefox
#   ./dev.sh fuzz SECONDS   build the fuzz targets and run each that long
set -euo pipefail
# The folder the command was given in, for the paths a person gives.
caller_dir=$PWD
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make pkg-config libhidapi-dev libudev-dev nlohmann-json3-dev libgtest-dev)
# Only the tests need these.
TEST_PACKAGES=(dpkg-dev file rpm)  # cpack -G DEB, cpack -G RPM
TEST_PACKAGES+=(man-db)  # man -l on the manual pages
TEST_PACKAGES+=(chromium)  # browser test
TEST_PACKAGES+=(firefox-esr zip)  # Firefox test: the browser, and zip to pack its add-on
TEST_PACKAGES+=(qemu-system-x86 busybox-static)  # kernel test
# The fuzz targets: clang, its libFuzzer and sanitizers.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
TEST_PACKAGES+=("${FUZZ_PACKAGES[@]}")
# The Windows cross-build, and Wine to run its tests; dpkg-dev unpacks
# hidapi's source package; nsis makes the installer, wixl the MSI (msitools
# shows it to the test); osslsigncode signs them, and the test makes its
# certificate with openssl.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix dpkg-dev nsis wixl msitools osslsigncode openssl)
WINE_PACKAGES=(wine64)
# The arm64 cross-build: Debian's cross compiler and arm64 libraries beside
# the machine's own, and qemu-user to run its programs.
ARM64_PACKAGES=(g++-aarch64-linux-gnu libhidapi-dev:arm64 libudev-dev:arm64 libstdc++6:arm64 qemu-user-static)

install_packages() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "dev.sh: installing ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # Another apt run (such as an automatic update) may hold the lock: wait for it.
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}" >&2
}

# Node and npm: Debian's nodejs brings node and its npm package brings npm; a
# node installed from elsewhere has its own npm, which Debian's would clash with.
install_node() {
    command -v node >/dev/null || install_packages nodejs
    command -v npm >/dev/null || install_packages npm
}

# install_npm_folder DIR: DIR's packages from npm as its lock names them,
# again whenever the lock is newer than what is installed.
install_npm_folder() {
    local lock=$1/package-lock.json installed=$1/node_modules/.package-lock.json
    install_node
    if [ ! -f "$installed" ] || [ "$lock" -nt "$installed" ]; then
        (cd "$1" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >&2)
    fi
}

# The extension side's test tools from npm: playwright-core drives Chromium,
# TypeScript checks the example's types; the try command's tools, which the
# tests run too.
install_browser_test() {
    install_npm_folder tests/browser
    install_npm_folder tools/try
}

# The builds dev.sh makes, one folder each. Every configure names every option
# the build relies on, so that nothing another command left in a folder's
# cache (README's, a person's) changes what dev.sh builds.
COMMON_OPTIONS=(-DBRIDGE_WERROR=ON -DBUILD_TESTING=ON -DBRIDGE_SANITIZE=OFF -DBRIDGE_TSAN=OFF -DBRIDGE_FUZZ=OFF
    -DBRIDGE_EXTENSIONS= -DBRIDGE_HOST_NAME=bridge_host -DBRIDGE_HOST_INSTALL_DIR=lib/bridge-host)
declare -A BUILDS=(
    # ./dev.sh test names the Windows build whose tests run under Wine, and
    # the arm64 build whose tests run under qemu-user.
    [build]="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIDGE_WINDOWS_BUILD= -DBRIDGE_ARM64_BUILD="
    # Built but not tested: GCC warns at -O3 of things it does not see at -O2,
    # and packages are built so.
    [build-release]="-DCMAKE_BUILD_TYPE=Release"
    [build-sanitize]="-DCMAKE_BUILD_TYPE=Debug -DBRIDGE_SANITIZE=ON"
    [build-tsan]="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIDGE_TSAN=ON"
    # The libFuzzer targets only, with clang.
    [build-fuzz]="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBRIDGE_FUZZ=ON"
    # Cross-built for arm64 Linux as packages are built; its programs are
    # tested by the tests of build, under qemu-user.
    [build-arm64]="--toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF"
    # Cross-built with mingw-w64; hidapi's Windows backend from its source
    # package. Nothing is signed here: a vendor names its certificate
    # (docs/windows.md).
    [build-windows]="--toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHIDAPI_SOURCE_DIR=$PWD/build-windows/hidapi -DBRIDGE_SIGN_PKCS12= -DBRIDGE_SIGN_TIMESTAMP="
)

# configure DIR [OPTION...]: configures one of BUILDS, with options given
# here after its own.
configure() {
    local dir=$1 options
    read -ra options <<<"${BUILDS[$dir]}"
    cmake -S . -B "$dir" "${COMMON_OPTIONS[@]}" "${options[@]}" "${@:2}" >/dev/null
}

# build DIR [OPTION...]: configures and builds one of BUILDS.
build() {
    configure "$@"
    cmake --build "$1" -j "$(nproc)"
}

run() {
    install_packages
    build build
    if [ "${1:-}" = "--real" ]; then
        exec build/bridge-console build/bridge-host
    fi
    run_on_virtual_device
}

# stop_virtual_device PID DIR: the device may have ended already (Ctrl-C
# reaches it too), which is no failure here.
stop_virtual_device() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    rm -rf "$2"
}

# bridge-console on bridge-host-sim, with an echoing virtual device of the
# served kind in a directory of its own. The device's report lines and log go
# to standard error; its first log line says it is ready.
run_on_virtual_device() {
    local dir device_pid
    dir=$(mktemp -d)
    coproc DEVICE { exec build/bridge-sim-device --dir "$dir" 2>&1 >&3 </dev/null; } 3>&2
    device_pid=$DEVICE_PID
    # shellcheck disable=SC2064  # the values are fixed now
    trap "stop_virtual_device $device_pid '$dir'" EXIT
    # Ctrl-C too ends the script through its exit, and so through the cleanup.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # A copy of the coprocess's descriptor, as bash keeps the original from subshells.
    local device_log ready
    exec {device_log}<&"${DEVICE[0]}"
    if ! IFS= read -r ready <&"$device_log"; then
        echo "dev.sh: the virtual device did not start" >&2
        exit 1
    fi
    echo "$ready" >&2
    cat <&"$device_log" >&2 &
    HIDSIM_DIR=$dir build/bridge-console build/bridge-host-sim
}

# An extension in Chromium or Firefox on the virtual host and an echoing
# virtual device, all in a throwaway folder (tools/try/try.mjs); only the
# programs it runs are built. The browser named is installed where missing.
run_try() {
    local argument previous="" browser=chromium
    for argument in "$@"; do
        [ "$previous" = --browser ] && browser=$argument
        previous=$argument
    done
    case "$browser" in
    chromium) install_packages chromium ;;
    firefox) install_packages firefox-esr ;;
    *) echo "dev.sh: unknown browser \"$browser\": chromium or firefox" >&2; exit 2 ;;
    esac
    install_npm_folder tools/try
    configure build
    cmake --build build -j "$(nproc)" --target bridge-host-sim bridge-sim-device bridge-host-setup
    local tool=$PWD/tools/try/try.mjs
    cd "$caller_dir"
    exec node "$tool" "$@"
}

# The source of hidapi's Windows backend, from Debian's hidapi source package
# of the version the Linux build links, unpacked into DIR/hidapi. Debian's
# own archive is added as a source of source packages when apt knows none.
fetch_hidapi_source() {
    local dir=$1 version
    # The machine's own architecture's: with arm64's beside it, dpkg-query would print both.
    version=$(dpkg-query -W -f='${source:Version}' "libhidapi-dev:$(dpkg --print-architecture)")
    [ -f "$dir/hidapi/windows/hid.c" ] && [ "$(cat "$dir/hidapi/.version" 2>/dev/null)" = "$version" ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    if ! apt-get source --print-uris "hidapi=$version" >/dev/null 2>&1; then
        local codename
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        echo "dev.sh: adding Debian's source packages to apt's sources" >&2
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$codename" | "${sudo[@]}" tee /etc/apt/sources.list.d/bridge-host-deb-src.sources >/dev/null
        "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    fi
    rm -rf "$dir/hidapi" "$dir/hidapi-source"
    mkdir -p "$dir/hidapi-source"
    (cd "$dir/hidapi-source" && apt-get source -qq "hidapi=$version" >&2)
    mv "$dir"/hidapi-source/hidapi-*/ "$dir/hidapi"
    rm -rf "$dir/hidapi-source"
    echo "$version" >"$dir/hidapi/.version"
}

# The Windows executables, cross-built with mingw-w64 into build-windows.
build_windows() {
    install_packages "${WINDOWS_PACKAGES[@]}"
    fetch_hidapi_source build-windows
    build build-windows
}

# The kernel starts arm64 programs through qemu-user once it is registered
# with binfmt_misc, with flags P (the program keeps its own argv[0]) and F
# (the emulator is opened now, and serves in any mount namespace), not O,
# Debian's default, which makes qemu take the program from the lowest free
# descriptor: a host started without standard input would find its program
# there. Debian's entry is replaced where it has other flags.
register_arm64_emulator() {
    local binfmt=/proc/sys/fs/binfmt_misc sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    [ -e $binfmt/register ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc $binfmt
    if [ -e $binfmt/qemu-aarch64 ]; then
        grep -qx 'flags: PF' $binfmt/qemu-aarch64 && return 0
        echo -1 | "${sudo[@]}" tee $binfmt/qemu-aarch64 >/dev/null
    fi
    echo "dev.sh: registering qemu-aarch64 with binfmt_misc, flags PF" >&2
    sed 's/:[A-Z]*$/:PF/' /usr/lib/binfmt.d/qemu-aarch64.conf | "${sudo[@]}" tee $binfmt/register >/dev/null
}

# The arm64 programs, cross-built into build-arm64, with arm64's packages
# from Debian beside the machine's own.
build_arm64() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        "${sudo[@]}" dpkg --add-architecture arm64
    fi
    install_packages "${ARM64_PACKAGES[@]}"
    build build-arm64
    register_arm64_emulator
}

# The fuzz targets of build-fuzz and their own options: the reader's inputs
# may hold frames of the largest size.
declare -A FUZZ_TARGETS=([reader_fuzz]="-max_len=17000" [dispatch_fuzz]="")
# ./dev.sh test's share of fuzzing: some seconds each.
declare -A FUZZ_TEST_RUNS=([reader_fuzz]=20000 [dispatch_fuzz]=5000)

# fuzz_target TARGET OPTION...: runs one target with libFuzzer's options
# given, from its seed corpus in tests/fuzz/corpus (what it adds goes to a
# scratch folder), and prints its executions, coverage and crashes. Fails on
# a crash, and then keeps the log and the input that crashed.
fuzz_target() {
    local target=$1 scratch log options status=0
    scratch=$(mktemp -d)
    log=$scratch/$target.log
    read -ra options <<<"${FUZZ_TARGETS[$target]}"
    build-fuzz/"$target" -print_final_stats=1 -timeout=10 -artifact_prefix="$scratch/" "${options[@]}" "${@:2}" \
        "$scratch" "tests/fuzz/corpus/${target%_fuzz}" >"$log" 2>&1 || status=$?
    local executions coverage crashes
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
    crashes=$(find "$scratch" -maxdepth 1 \( -name 'crash-*' -o -name 'timeout-*' -o -name 'leak-*' -o -name 'oom-*' \) | wc -l)
    echo "dev.sh: $target: ${executions:-?} executions, ${coverage:-no coverage line}, $crashes crashes"
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log" >&2
        echo "dev.sh: $target failed (exit $status); its log and input are in $scratch" >&2
        return 1
    fi
    rm -rf "$scratch"
}

fuzz() {
    local seconds=${1:?usage: ./dev.sh fuzz SECONDS} target
    install_packages "${FUZZ_PACKAGES[@]}"
    build build-fuzz
    for target in "${!FUZZ_TARGETS[@]}"; do
        fuzz_target "$target" -max_total_time="$seconds"
    done
}

# sanitized_tests DIR VARIABLE=VALUE...: the tests labelled sanitize in one of
# BUILDS, with the sanitizers' options given. Every process writes its reports
# into one folder (the options' REPORTS, replaced here), so a report fails the
# run even where a test did not look.
sanitized_tests() {
    local dir=$1 reports settings=("${@:2}")
    reports=$(mktemp -d)
    (cd "$dir" && env "${settings[@]//REPORTS/$reports}" ctest --output-on-failure -j "$(nproc)" -L sanitize)
    if [ -n "$(ls -A "$reports")" ]; then
        echo "dev.sh: sanitizer reports of $dir:" >&2
        cat "$reports"/* >&2
        exit 1
    fi
    rm -rf "$reports"
}

run_tests() {
    install_packages "${TEST_PACKAGES[@]}" "${WINE_PACKAGES[@]}"
    install_browser_test
    # The Linux build runs the Windows executables' tests under Wine too, and
    # the arm64 programs' under qemu-user.
    build_windows
    build_arm64
    build build -DBRIDGE_WINDOWS_BUILD="$PWD/build-windows" -DBRIDGE_ARM64_BUILD="$PWD/build-arm64"
    build build-release
    (cd build && ctest --output-on-failure -j "$(nproc)")

    # The same tests once more on a build with AddressSanitizer and
    # UndefinedBehaviorSanitizer, and on one with ThreadSanitizer.
    build build-sanitize
    sanitized_tests build-sanitize ASAN_OPTIONS="log_path=REPORTS/asan:abort_on_error=1" \
        UBSAN_OPTIONS="log_path=REPORTS/ubsan:halt_on_error=1:print_stacktrace=1"
    build build-tsan
    sanitized_tests build-tsan TSAN_OPTIONS="log_path=REPORTS/tsan:halt_on_error=1"

    # The reader and the worker's dispatch under libFuzzer, for a few seconds.
    build build-fuzz
    local target
    for target in "${!FUZZ_TARGETS[@]}"; do
        fuzz_target "$target" -runs="${FUZZ_TEST_RUNS[$target]}"
    done
}

# N requests through bridge-host-sim to an echoing virtual device.
run_soak() {
    install_packages
    build build
    build/tests/soak "${1:-1000000}"
}

# The benchmark is built only here, when asked for. With --browsers it runs
# in Chromium and Firefox, in the client test's rigs.
run_bench() {
    if [ "${1:-}" = "--browsers" ]; then
        install_packages chromium firefox-esr zip
        install_browser_test
        build build
        cmake --build build --target bridge-echo-host
        node tools/bench/browsers.mjs "${@:2}"
        return
    fi
    install_packages
    build build
    cmake --build build --target bridge-bench
    build/tools/bench/bridge-bench "$@"
}

case "${1:-}" in
run) shift; run "$@" ;;
test) run_tests ;;
try) shift; run_try "$@" ;;
windows) build_windows ;;
arm64) build_arm64 && (cd build-arm64 && cpack -G "DEB;RPM") ;;
soak) run_soak "${2:-}" ;;
bench) shift; run_bench "$@" ;;
fuzz) shift; fuzz "$@" ;;
*)
    echo "usage: ./dev.sh run [--real] | ./dev.sh test | ./dev.sh try [EXTENSION_DIR] [--browser chromium|firefox] [--headless] | ./dev.sh windows | ./dev.sh arm64 | ./dev.sh soak [N] | ./dev.sh bench [--browsers] [ROUNDS] | ./dev.sh fuzz SECONDS" >&2
    exit 2
    ;;
esac
