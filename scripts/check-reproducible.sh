#!/usr/bin/env bash
# Builds quellix.exe once more from a copy of the source in another folder and
# compares it byte for byte with the given builds' exe: anyone who builds the same
# source must get the published bytes (before signing, which scripts/release.sh does
# on a copy). The given builds are one side; only the quellix target is built again.
#
# Usage: scripts/check-reproducible.sh PRESET...   e.g. mingw32 mingw64 (the presets of
# builds already made). Exits 1 when an exe differs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

other=$(mktemp -d /tmp/quellix-again.XXXXXX)
at_exit 'rm -rf "$other"'
# The source as a checkout holds it: no build folders, nothing of git's own.
tar -c --exclude='./build*' --exclude=./.git --exclude=./out . | tar -x -C "$other"

status=0
for preset in "$@"; do
    dir=build-$preset
    # The copy's own presets: its build folder is inside it.
    (cd "$other" && cmake --preset "$preset" -DQUELLIX_TESTS=OFF >/dev/null &&
        cmake --build --preset "$preset" --target quellix -j"$jobs" >/dev/null)
    if cmp "$dir/app/quellix.exe" "$other/$dir/app/quellix.exe"; then
        echo "same bytes from $other: $dir/app/quellix.exe" \
            "$(sha256sum "$dir/app/quellix.exe" | cut -d' ' -f1)"
    else
        echo "NOT reproducible: $dir/app/quellix.exe differs when built in $other"
        status=1
    fi
done
exit "$status"
