#!/usr/bin/env bash
# The release packages: builds quellix.exe for 32- and 64-bit Windows and makes
#   out/quellix-<version>-win32.zip, -win64.zip   quellix.exe, README.txt, LICENSE.txt
#   out/quellix-<version>-win32.msi, -win64.msi   the same three files, installed per
#                                                 machine into Program Files\Quellix
#   out/SHA256SUMS                                their SHA-256, for `sha256sum -c`
# The version is the project() version in CMakeLists.txt; the README must name the
# same one. Only a tree without uncommitted changes is released; QUELLIX_RELEASE_DIRTY=1
# releases one anyway, with "-dirty" in the package names.
#
# Signing: with QUELLIX_SIGN_PKCS12 naming a PKCS#12 file, each quellix.exe and each
# MSI is signed (Authenticode, SHA-256); QUELLIX_SIGN_PASSWORD_FILE names the file
# holding its password, QUELLIX_SIGN_TIMESTAMP_URL an RFC 3161 time-stamping server.
#
# The exes are reproducible (scripts/check-reproducible.sh) and checked as images
# (tests/app/windows/exe_check) as packed; the zips have fixed file times (the
# commit's), modes and order. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
install_missing cmake make zip g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine64 wixl \
    osslsigncode
source scripts/packaging.sh
source scripts/wine-loaders.sh

# --- what is released ------------------------------------------------------------
suffix=""
if [ -n "$(git status --porcelain 2>/dev/null || echo "not a git checkout")" ]; then
    if [ "${QUELLIX_RELEASE_DIRTY:-}" != 1 ]; then
        echo "the tree has uncommitted changes (git status): commit them, or set" \
            "QUELLIX_RELEASE_DIRTY=1 for packages named -dirty" >&2
        exit 1
    fi
    suffix=-dirty
fi
if [ -n "${QUELLIX_SIGN_PKCS12:-}" ]; then
    echo "== signing with $QUELLIX_SIGN_PKCS12"
else
    echo "== unsigned packages: QUELLIX_SIGN_PKCS12 names no signing key"
fi
# Every file in the archives gets the commit's time (zip keeps local time: UTC here).
export TZ=UTC
stamp=$(git log -1 --format=%ct 2>/dev/null || echo 1767225600)

# --- builds: both exes, and the image checker (64-bit, it reads either) -------------
for preset in release-win32 release-win64; do
    echo "== build-$preset"
    configure "$preset"
    cmake --build --preset "$preset" -j"$jobs"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release-win32/CMakeCache.txt)
if ! grep -q "^Version $version\b" README.md; then
    echo "README.md does not say \"Version $version\" (the project() version)" >&2
    exit 1
fi

work=$(mktemp -d /tmp/quellix-release.XXXXXX)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
at_exit 'rm -rf "$work"'
at_exit stop_wine
(unset DISPLAY WAYLAND_DISPLAY && "$wine64" wineboot --init >/dev/null 2>&1)

# --- the packages ------------------------------------------------------------------
mkdir -p out
out=$PWD/out
packages=()
for build in win32:32-bit:x86:i386 win64:64-bit:x64:amd64; do
    IFS=: read -r name bits arch machine <<<"$build"
    stage=$work/$name
    stage_package "$stage" "build-release-$name/app/quellix.exe" "$version" "$bits"
    [ -z "${QUELLIX_SIGN_PKCS12:-}" ] || sign_file "$stage/quellix.exe"
    echo "== image checks of the $bits quellix.exe as packed"
    if ! checks=$("$wine64" build-release-win64/tests/app/windows/exe_check.exe "$stage/quellix.exe" \
        "$machine"); then
        echo "$checks" | grep -v '^ok: ' >&2
        exit 1
    fi
    touch -d "@$stamp" "$stage"/*

    base=quellix-$version$suffix-$name
    rm -f "$out/$base.zip" "$out/$base.msi"
    (cd "$stage" && zip -q -X -D "$out/$base.zip" quellix.exe README.txt LICENSE.txt)
    make_msi "$stage" "$arch" "$version" "$out/$base.msi"
    [ -z "${QUELLIX_SIGN_PKCS12:-}" ] || sign_file "$out/$base.msi"
    packages+=("$base.zip" "$base.msi")
done
(cd "$out" && sha256sum "${packages[@]}" >SHA256SUMS)

echo "== the packages (check them with: cd $out && sha256sum -c SHA256SUMS)"
printf '%s\n' "${packages[@]/#/$out/}" "$out/SHA256SUMS"
