#!/usr/bin/env bash
# The release packaging, with the steps scripts/release.sh takes (scripts/packaging.sh),
# on the exes of build-mingw32 and build-mingw64:
#   - signing: a throwaway CA and code-signing certificate; the signed exes and MSI
#     verify against that CA, a file changed after signing does not, and a signed exe
#     is its unsigned build plus the signature (scripts/compare-signed-exe.py), which
#     osslsigncode remove-signature takes off again;
#   - the MSI packages as built: architecture, folder, files, version, upgrade code;
#   - under Wine (msiexec of the 64-bit loader, which installs either package): a silent
#     install, the installed 64-bit exe run against misc-driver-sim through
#     scripts/wine-run.sh, an upgrade from a lower version leaving one product, and a
#     silent uninstall leaving nothing.
# Run by scripts/test-windows.sh in its Wine prefix (WINEPREFIX); needs the native
# build's misc-driver-sim. Exits 1 when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
install_missing openssl osslsigncode wixl msitools python3
source scripts/packaging.sh
source scripts/wine-loaders.sh
: "${WINEPREFIX:?run from scripts/test-windows.sh, in its Wine prefix}"

work=$(mktemp -d /tmp/quellix-packaging.XXXXXX)
at_exit 'rm -rf "$work"'
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-mingw64/CMakeCache.txt)
old_version=0.0.1
[ "$(printf '%s\n' "$old_version" "$version" | sort -V | head -n 1)" = "$old_version" ] &&
    [ "$old_version" != "$version" ] || { echo "version $version is not above $old_version" >&2; exit 1; }

# --- the packages: staged as released, an MSI of each, and a lower version's ----------
stage_package "$work/win32" build-mingw32/app/quellix.exe "$version" 32-bit
stage_package "$work/win64" build-mingw64/app/quellix.exe "$version" 64-bit
stage_package "$work/old64" build-mingw64/app/quellix.exe "$old_version" 64-bit
for p in win32:x86:"$version" win64:x64:"$version" old64:x64:"$old_version"; do
    IFS=: read -r name arch v <<<"$p"
    make_msi "$work/$name" "$arch" "$v" "$work/$name.msi" 2>"$work/wixl.log" ||
        { cat "$work/wixl.log"; exit 1; }
done

echo "== release.sh refuses a tree with uncommitted changes"
git clone -q . "$work/clone"
touch "$work/clone/uncommitted"
rc=0
(cd "$work/clone" && bash scripts/release.sh) >"$work/release.log" 2>&1 || rc=$?
[ "$rc" = 1 ] && grep -q "uncommitted changes" "$work/release.log" && [ ! -e "$work/clone/out" ] ||
    fail "release.sh of a changed tree: exit $rc, $(cat "$work/release.log")"

echo "== signing with a throwaway CA"
(
    cd "$work"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
        -subj "/CN=Quellix test CA" -addext basicConstraints=critical,CA:true \
        -addext keyUsage=critical,keyCertSign
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Quellix test"
    printf '%s\n' basicConstraints=critical,CA:false keyUsage=critical,digitalSignature \
        extendedKeyUsage=codeSigning >signer.ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile signer.ext -out signer.pem
    printf 'not-a-real-secret' >password
    openssl pkcs12 -export -inkey signer.key -in signer.pem -out signer.p12 -passout file:password
) >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log"; exit 1; }
export QUELLIX_SIGN_PKCS12=$work/signer.p12 QUELLIX_SIGN_PASSWORD_FILE=$work/password
# A signature that verifies against the throwaway CA, with a SHA-256 digest.
verify() {
    osslsigncode verify -CAfile "$work/ca.pem" -in "$1" >"$work/verify.log" 2>&1 &&
        grep -q '^Message digest algorithm *: SHA256' "$work/verify.log"
}
for bits in 32 64; do
    signed=$work/signed$bits.exe
    cp "build-mingw$bits/app/quellix.exe" "$signed"
    sign_file "$signed" || fail "$bits-bit exe: not signed"
    verify "$signed" || fail "$bits-bit exe: signature does not verify: $(cat "$work/verify.log")"
    python3 scripts/compare-signed-exe.py "$signed" "build-mingw$bits/app/quellix.exe" >/dev/null ||
        fail "$(python3 scripts/compare-signed-exe.py "$signed" "build-mingw$bits/app/quellix.exe")"
    osslsigncode remove-signature -in "$signed" -out "$work/removed.exe" >/dev/null &&
        cmp -s "$work/removed.exe" "build-mingw$bits/app/quellix.exe" ||
        fail "$bits-bit exe: without its signature it is not the build"
    rm -f "$work/removed.exe"
done
cp "$work/win64.msi" "$work/signed.msi"
sign_file "$work/signed.msi" && verify "$work/signed.msi" ||
    fail "MSI: not signed, or its signature does not verify: $(cat "$work/verify.log")"
# One byte of code changed after signing: the signature no longer verifies, and the
# file is no longer its build plus a signature.
cp "$work/signed64.exe" "$work/changed.exe"
printf '\xcc' | dd of="$work/changed.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
! verify "$work/changed.exe" || fail "an exe changed after signing still verifies"
! python3 scripts/compare-signed-exe.py "$work/changed.exe" build-mingw64/app/quellix.exe \
    >/dev/null || fail "an exe changed after signing passes as its build plus a signature"
QUELLIX_SIGN_PASSWORD_FILE=/dev/null sign_file "$work/old64/quellix.exe" 2>/dev/null &&
    fail "signing with a wrong password succeeded"
unset QUELLIX_SIGN_PKCS12 QUELLIX_SIGN_PASSWORD_FILE

echo "== the MSI packages as built"
# A property of an MSI's table: msiinfo export prints the table as tab-separated rows.
msi_row() { msiinfo export "$1" "$2" | tr -d '\r' | awk -F'\t' -v k="$3" '$1 == k { print $2 }'; }
for p in win32:Intel:ProgramFilesFolder win64:x64:ProgramFiles64Folder; do
    IFS=: read -r name platform folder <<<"$p"
    msi=$work/$name.msi
    msiinfo suminfo "$msi" | grep -qx "Template: $platform;1033" || fail "$name.msi: not for $platform"
    [ "$(msi_row "$msi" Directory INSTALLDIR)" = "$folder" ] || fail "$name.msi: not under $folder"
    [ "$(msiinfo export "$msi" Directory | awk -F'\t' '$1 == "INSTALLDIR" { print $3 }' |
        tr -d '\r')" = Quellix ] || fail "$name.msi: not into a Quellix folder"
    [ "$(msiinfo export "$msi" File | tr -d '\r' | tail -n +4 | cut -f3 | sort | xargs)" = \
        "LICENSE.txt README.txt quellix.exe" ] || fail "$name.msi: files are not the three"
    [ "$(msi_row "$msi" Property ProductVersion)" = "$version" ] || fail "$name.msi: version"
    [ "$(msi_row "$msi" Property ALLUSERS)" = 1 ] || fail "$name.msi: not per machine"
    [ "$(msi_row "$msi" Property REBOOT)" = ReallySuppress ] || fail "$name.msi: may restart"
done
upgrade() { msi_row "$work/$1.msi" Property UpgradeCode; }
[ "$(upgrade win64)" = "$(upgrade old64)" ] || fail "the 64-bit upgrade code changed with the version"
[ "$(upgrade win32)" != "$(upgrade win64)" ] || fail "both architectures share an upgrade code"

echo "== under Wine: install, run, upgrade, uninstall"
# Paths as this host spells them: the prefix maps / to drive Z:.
export WINEDEBUG=-all
msiexec() { "$wine64" msiexec "$@" >/dev/null 2>&1; }
# The installed products of that name, as Programs and Features lists them: one
# "DisplayVersion" line each (view 64 or 32 of the registry).
products() {
    "$wine64" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:"$1" \
        2>/dev/null | tr -d '\r' | awk '/^HKEY/ { q = 0 } /DisplayName +REG_SZ +Quellix$/ { q = 1 }
            q && /DisplayVersion/ { print $3 }' | xargs
}
[ -z "$(products 64)$(products 32)" ] || { echo "Quellix is already installed in $WINEPREFIX" >&2; exit 1; }
files=$WINEPREFIX/drive_c/Program\ Files/Quellix
files32=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/Quellix
msiexec /i "$work/old64.msi" /qn || fail "install of $old_version: $?"
head -n 1 "$files/README.txt" | grep -q "Quellix $old_version " || fail "$old_version not installed"
msiexec /i "$work/win64.msi" /qn || fail "upgrade to $version: $?"
[ "$(products 64)" = "$version" ] || fail "after the upgrade: products '$(products 64)'"
for f in quellix.exe README.txt LICENSE.txt; do
    cmp -s "$work/win64/$f" "$files/$f" || fail "installed $f is not the package's"
done
msiexec /i "$work/win32.msi" /qn || fail "install of the 32-bit package: $?"
[ "$(products 32)" = "$version" ] && cmp -s "$work/win32/quellix.exe" "$files32/quellix.exe" ||
    fail "32-bit package: products '$(products 32)', files $(ls "$files32" 2>&1 | xargs)"

# The installed exe reads the calibration out of the simulated driver.
mkdir -p "$work/devices" "$work/run"
build/tools/misc_driver_sim/misc-driver-sim --root "$work/devices" --table "$work/table5.bin" \
    >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
at_exit "stop_pid $sim_pid"
wait_for "$sim_pid" 10 grep -qx ready "$work/sim.out" || fail "misc-driver-sim did not start"
rc=0
(cd "$work/run" && MISC_DEVICE_ROOT=$work/devices bash "$OLDPWD/scripts/wine-run.sh" \
    "$files/quellix.exe" -exitcode -debug) >"$work/run.log" 2>&1 || rc=$?
[ "$rc" = 0 ] && [ "$(wc -c <"$work/run/calibfrombios.bin")" = 80 ] ||
    fail "installed quellix.exe: exit $rc, $(ls "$work/run" | xargs): $(cat "$work/run.log")"

msiexec /x "{$(msi_product_code x64 "$version")}" /qn || fail "uninstall (64-bit): $?"
msiexec /x "$work/win32.msi" /qn || fail "uninstall (32-bit): $?"
[ ! -e "$files" ] && [ ! -e "$files32" ] || fail "left after uninstalling: $files, $files32"
[ -z "$(products 64)$(products 32)" ] || fail "still listed: '$(products 64)' '$(products 32)'"

if [ "$failures" -ne 0 ]; then
    echo "$failures packaging check(s) failed"
    exit 1
fi
echo "packaging checks passed"
