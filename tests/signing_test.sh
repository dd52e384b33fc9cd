#!/usr/bin/env bash
# Signing the Windows build's programs and installers as the build signs
# them when given a certificate: with a throwaway self-signed one, checked by
# osslsigncode verify. A wrong password fails and leaves the file as it was;
# a build given no certificate signs nothing. Usage:
# signing_test.sh WINDOWS_BUILD SOURCE_DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "signing test: $*" >&2
    exit 1
}

# sign FILE: as the build does, with the throwaway certificate.
sign() {
    cmake -DOSSLSIGNCODE=osslsigncode "-DPKCS12=$scratch/signer.p12" "-DFILE=$1" \
        -P "$source/packaging/windows/sign.cmake" >"$scratch/sign.log" 2>&1
}

verify() {
    osslsigncode verify -CAfile "$scratch/signer.pem" -in "$1" >"$scratch/verify.log" 2>&1
}

export BRIDGE_SIGN_PASSWORD="throwaway $RANDOM"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=bridge host test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$scratch/signer.key" -out "$scratch/signer.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/signer.key" -in "$scratch/signer.pem" -out "$scratch/signer.p12" \
    -passout env:BRIDGE_SIGN_PASSWORD

if grep -qx 'BRIDGE_SIGN_PKCS12:FILEPATH=' "$build/CMakeCache.txt"; then
    ! verify "$build/bridge-host.exe" || fail "a build given no certificate signed bridge-host.exe"
fi

cp "$build/bridge-host.exe" "$build/bridge-host-setup.exe" "$build/bridge-host-$version-setup.exe" "$scratch"
cmake -DWIXL=wixl "-DBUILD_DIR=$build" "-DOUTPUT=$scratch/bridge-host.msi" "-DVERSION=$version" \
    -DHOST_NAME=bridge_host -DEXTENSIONS=bridge@example.org -P "$source/packaging/windows/msi.cmake"
for file in bridge-host.exe bridge-host-setup.exe "bridge-host-$version-setup.exe" bridge-host.msi; do
    sign "$scratch/$file" || fail "$file could not be signed: $(cat "$scratch/sign.log")"
    verify "$scratch/$file" || fail "$file does not verify: $(cat "$scratch/verify.log")"
    grep -q "bridge host test signer" "$scratch/verify.log" || fail "$file is not signed by the test's signer"
done

cp "$build/bridge-host.exe" "$scratch/wrong-password.exe"
! BRIDGE_SIGN_PASSWORD=wrong sign "$scratch/wrong-password.exe" || fail "a wrong password signed"
cmp -s "$build/bridge-host.exe" "$scratch/wrong-password.exe" || fail "a failed signing changed the file"
[ -z "$(find "$scratch" -name '*.password')" ] || fail "the password was left in a file"
echo "signing test: PASS"
