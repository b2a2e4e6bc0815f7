#!/usr/bin/env bash
# The release package: builds quellix.exe for 32- and 64-bit Windows and makes
#   out/quellix-<version>-win32.zip and out/quellix-<version>-win64.zip
# each holding quellix.exe, README.txt (for Windows users), LICENSE.txt and
# quellix.exe.sha256. The version is the project() version in CMakeLists.txt; the
# README must name the same one. The builds are reproducible and the archives are
# too: fixed file times (the commit's), modes and order, no extra attributes.
# Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

source scripts/install-missing.sh
install_missing cmake make zip g++-mingw-w64-i686 g++-mingw-w64-x86-64

# Every file in the archives gets the commit's time (zip keeps local time: UTC here).
export TZ=UTC
stamp=$(git log -1 --format=%ct 2>/dev/null || echo 1767225600)

mkdir -p out
for build in win32:i686:32-bit win64:x86_64:64-bit; do
    IFS=: read -r name arch bits <<<"$build"
    dir=build-release-$name
    echo "== $dir"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQUELLIX_TESTS=OFF >/dev/null
    cmake --build "$dir" --target quellix -j"$jobs"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
    if ! grep -q "^Version $version\b" README.md; then
        echo "README.md does not say \"Version $version\" (the project() version)" >&2
        exit 1
    fi

    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    cp "$dir/app/quellix.exe" "$stage/quellix.exe"
    # Text for Windows: CRLF line ends.
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$bits/g" -e 's/$/\r/' \
        packaging/README-Windows.txt >"$stage/README.txt"
    sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    (cd "$stage" && sha256sum quellix.exe >quellix.exe.sha256)
    chmod 0644 "$stage"/*
    touch -d "@$stamp" "$stage"/*

    zipfile=$PWD/out/quellix-$version-$name.zip
    rm -f "$zipfile"
    (cd "$stage" && zip -q -X -D "$zipfile" quellix.exe README.txt LICENSE.txt quellix.exe.sha256)
    rm -rf "$stage"
    trap - EXIT
    echo "$zipfile (quellix.exe $(sha256sum "$dir/app/quellix.exe" | cut -d' ' -f1))"
done
