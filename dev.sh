#!/usr/bin/env bash
# The project's two commands:
#   ./dev.sh run [--real]   install what is missing, build, and talk to the host
#   ./dev.sh test           install what is missing, build, and run every test
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make pkg-config libhidapi-dev libudev-dev nlohmann-json3-dev libgtest-dev)
PACKAGES+=(qemu-system-x86 busybox-static)  # kernel test

install_packages() {
    local missing=()
    for package in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "dev.sh: installing ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# build DIR [cmake options...]
build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DBRIDGE_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

run() {
    install_packages
    build build
    exec build/bridge-console build/bridge-host
}

run_tests() {
    install_packages
    build build
    (cd build && ctest --output-on-failure -j "$(nproc)")

    # The same tests once more on a build with AddressSanitizer and
    # UndefinedBehaviorSanitizer. Every process writes its reports into one
    # folder, so a report fails the run even where a test did not look.
    build build-sanitize -DBRIDGE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    local reports
    reports=$(mktemp -d)
    (cd build-sanitize &&
        ASAN_OPTIONS="log_path=$reports/asan:abort_on_error=1" \
        UBSAN_OPTIONS="log_path=$reports/ubsan:halt_on_error=1:print_stacktrace=1" \
        ctest --output-on-failure -j "$(nproc)" -L sanitize)
    if [ -n "$(ls -A "$reports")" ]; then
        echo "dev.sh: sanitizer reports:" >&2
        cat "$reports"/* >&2
        exit 1
    fi
    rm -rf "$reports"
}

case "${1:-}" in
run) shift; run "$@" ;;
test) run_tests ;;
*)
    echo "usage: ./dev.sh run | ./dev.sh test" >&2
    exit 2
    ;;
esac
