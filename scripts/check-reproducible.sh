#!/usr/bin/env bash
# Builds quellix.exe once more from a copy of the source in another folder and
# compares it byte for byte with the given builds' exe: anyone who builds the same
# source must get the published bytes (before signing, which scripts/release.sh does
# on a copy). Only the quellix target is built again.
#
# Usage: scripts/check-reproducible.sh BUILD-DIR:ARCH...   e.g. build-mingw32:i686
# (ARCH names cmake/toolchain-mingw-ARCH.cmake). Exits 1 when an exe differs.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
source scripts/mingw-configure.sh
other=$(mktemp -d /tmp/quellix-again.XXXXXX)
trap 'rm -rf "$other"' EXIT
# The source as a checkout holds it: no build folders, nothing of git's own.
mkdir "$other/src"
tar -c --exclude='./build*' --exclude=./.git --exclude=./out . | tar -x -C "$other/src"

status=0
for build in "$@"; do
    dir=${build%%:*}
    arch=${build##*:}
    mingw_configure "$other/src" "$other/$dir" "$arch" -DQUELLIX_TESTS=OFF
    cmake --build "$other/$dir" --target quellix -j"$jobs" >/dev/null
    if cmp "$dir/app/quellix.exe" "$other/$dir/app/quellix.exe"; then
        echo "same bytes from $other/src: $dir/app/quellix.exe" \
            "$(sha256sum "$dir/app/quellix.exe" | cut -d' ' -f1)"
    else
        echo "NOT reproducible: $dir/app/quellix.exe differs when built in $other"
        status=1
    fi
done
exit "$status"
