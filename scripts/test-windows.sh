#!/usr/bin/env bash
# The Windows target: both MinGW-w64 cross builds (build-mingw32 is the release
# quellix.exe, build-mingw64 the same code on the 64-bit ABI), their tests run under
# Wine one at a time, and the checks of quellix.exe itself. Installs what is missing;
# exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# --- packages -----------------------------------------------------------------
# wine32 is an i386 package: the 32-bit quellix.exe needs it.
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "== adding the i386 architecture (wine32)"
    dpkg --add-architecture i386
    need_update=1
fi
packages=(cmake make googletest wine wine32:i386 wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# --- cross builds ----------------------------------------------------------------
for build in mingw32:i686 mingw64:x86_64; do
    dir=build-${build%%:*}
    echo "== $dir"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-${build##*:}.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQUELLIX_TESTS=ON -DQUELLIX_BENCH=OFF -DQUELLIX_FUZZ=OFF >/dev/null
    cmake --build "$dir" -j"$jobs"
done

# --- a fresh, headless Wine prefix ---------------------------------------------------
# No display: MessageBoxW returns at once. No Mono or Gecko install prompts.
WINEPREFIX=$(mktemp -d /tmp/quellix-wine.XXXXXX)
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== Wine prefix $WINEPREFIX"
# One server for the whole run, so every test starts quickly and Wine's services are
# up before the exe checks trace anything.
wineserver -p
wineboot --init

# --- tests under Wine, one at a time ---------------------------------------------
status=0
for dir in build-mingw32 build-mingw64; do
    echo "== tests of $dir under Wine"
    (cd "$dir" && ctest -j1 --output-on-failure) || status=1
done

if [ "$status" -ne 0 ]; then
    echo "== Windows tests FAILED"
    exit 1
fi
echo "== Windows tests passed"
