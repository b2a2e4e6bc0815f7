#!/usr/bin/env bash
# The Windows target: both MinGW-w64 cross builds (build-mingw32 is the release
# quellix.exe, build-mingw64 the same code on the 64-bit ABI), their tests run under
# Wine one at a time, and the checks of quellix.exe itself. Installs what is missing;
# exits non-zero on any failure. Where the host refuses 32-bit programs (or
# QUELLIX_NO_WIN32=1 says to act as if it did), the 32-bit build makes quellix.exe
# alone (its tests could not run), every test of the 64-bit build runs, the 32-bit exe
# is checked as an image, and one line names the 32-bit runs that were not done.
#
# The end-to-end tests (tests/e2e) then run against each quellix.exe that can run
# here, under Wine through scripts/wine-run.sh: the bridge driver of the 64-bit build
# plays the misc driver, forwarding to misc-driver-sim of the native build (build/).
#
# `test-windows.sh --soak N` (on demand, not part of the test command) runs only the
# end-to-end suite, N times over in one prefix against each quellix.exe that can run
# here, and stops at the first repetition that fails.
#
# --mingw64-only: the 64-bit build alone, its tests and the end-to-end suite against
# its quellix.exe, in a fresh prefix of its own; no 32-bit build, no reproducibility
# check. One command for trying a change to the Windows code (a mutant, say) quickly.
#
# --builds, then --tests: the same run in two halves, the builds (the cross builds and
# what the tests take from the native build) and then the rest. scripts/test.sh starts
# the fuzzers between the two, so that they run beside the tests under Wine only.
set -euo pipefail
stage_start=$SECONDS
cd "$(dirname "$0")/.."
usage() {
    echo "usage: test-windows.sh [--mingw64-only | --soak N | --builds | --tests]" >&2
    exit 2
}
only64=0
soak=0
half=""
if [ "${1:-}" = --mingw64-only ] && [ $# = 1 ]; then
    only64=1
elif [ "${1:-}" = --builds ] || [ "${1:-}" = --tests ] && [ $# = 1 ]; then
    half=$1
elif [ "${1:-}" = --soak ] && [ $# = 2 ]; then
    soak=$2
    [[ "$soak" =~ ^[1-9][0-9]*$ ]] || usage
elif [ $# -gt 0 ]; then
    usage
fi

source scripts/lib.sh

# --- packages -----------------------------------------------------------------
# wine32 is an i386 package: the 32-bit quellix.exe needs it.
apt_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "== adding the i386 architecture (wine32)"
    dpkg --add-architecture i386
    apt_update=1
fi
# g++ and libgtest-dev: the native e2e_tests and misc-driver-sim.
install_missing cmake make g++ googletest libgtest-dev wine wine32:i386 wine64 g++-mingw-w64-i686 \
    g++-mingw-w64-x86-64

# --- Wine loaders: which bitness runs on this host ----------------------------------
source scripts/wine-loaders.sh

# --- cross builds ----------------------------------------------------------------
# Where 32-bit programs cannot run, build-mingw32 makes quellix.exe alone.
if [ "$half" != --tests ]; then
    builds=(mingw32 mingw64)
    [ "$only64" = 0 ] || builds=(mingw64)
    for build in "${builds[@]}"; do
        echo "== build-$build"
        configure "$build"
        targets=()
        [ "$build" != mingw32 ] || [ -n "$wine32" ] || targets=(--target quellix)
        cmake --build --preset "$build" -j"$jobs" "${targets[@]}"
    done

    # --- native: the simulator, the relay and the end-to-end tests -----------------------
    echo "== build (native: misc-driver-sim, quellix-wine-relay, e2e_tests)"
    configure native
    cmake --build --preset native -j"$jobs" --target misc-driver-sim quellix-wine-relay e2e_tests
fi
[ "$half" != --builds ] || exit 0

# --- reproducible: quellix.exe built again from a copy of the source elsewhere -------
# In the background, at the lowest priority: the tests under Wine below leave a
# processor idle much of the time. Its report comes at the end.
repro_pid=""
if [ "$soak" = 0 ] && [ "$only64" = 0 ]; then
    echo "== quellix.exe built a second time in another folder (meanwhile), compared byte for byte"
    repro_log=$(mktemp /tmp/quellix-repro.XXXXXX)
    at_exit 'rm -f "$repro_log"'
    in_the_background bash scripts/check-reproducible.sh mingw32 mingw64 >"$repro_log" 2>&1
    repro_pid=$!
    at_exit "stop_group $repro_pid"
fi

# --- a fresh, headless Wine prefix ---------------------------------------------------
# No display: MessageBoxW returns at once. No Mono or Gecko install prompts. The prefix
# is made by the 64-bit loader, which every host of ours can start.
WINEPREFIX=$(mktemp -d /tmp/quellix-wine.XXXXXX)
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# The server, and the relay that wine-run.sh starts for this prefix, end with the run.
at_exit 'rm -rf "$WINEPREFIX"'
at_exit stop_wine
echo "== Wine prefix $WINEPREFIX"
# One server for the whole run, so every test starts quickly and Wine's services are
# up before the exe checks trace anything.
wine_boot "$wine64"

# The end-to-end suite against quellix.exe, with the expectations of the Linux build.
# Cases that cannot run under Wine skip themselves and say why.
e2e_suite() {
    QUELLIX_E2E_RUNNER=$PWD/scripts/wine-run.sh QUELLIX_E2E_PROGRAM=$PWD/$1/app/quellix.exe \
        QUELLIX_E2E_PROBE=$PWD/$1/tests/e2e/device_probe.exe \
        QUELLIX_MINGW64_BUILD=$PWD/build-mingw64 QUELLIX_NATIVE_BUILD=$PWD/build \
        build/tests/e2e/e2e_tests --gtest_brief=1
}
dirs=(build-mingw64)
[ -z "$wine32" ] || [ "$only64" = 1 ] || dirs=(build-mingw32 build-mingw64)

if [ "$soak" != 0 ]; then
    for dir in "${dirs[@]}"; do
        for round in $(seq "$soak"); do
            echo "== soak: end-to-end tests of $dir/app/quellix.exe, repetition $round of $soak"
            e2e_suite "$dir" || { echo "== soak FAILED in repetition $round of $soak ($dir)"; exit 1; }
        done
    done
    [ -n "$wine32" ] || echo "32-bit runs not done: $wine32_missing."
    echo "== soak passed: $soak repetitions of ${dirs[*]} ($(((SECONDS - stage_start) / 60)) min)"
    exit 0
fi

# --- tests under Wine, one at a time ---------------------------------------------
# Each build's tests run under its own loader (the toolchain files name them). Where
# 32-bit programs cannot run, the 32-bit release exe is still checked as an image, by
# the 64-bit checker.
status=0
# The description wine-run.sh hands bridge_sync ends in a line "end"; one cut short
# before it must be refused before anything in the prefix changes.
echo "== bridge_sync refuses an interface description cut short"
if printf 'relay 1 %032d\ninterface 1 - 2f\n' 0 |
    WINEDEBUG=-all "$wine64" build-mingw64/tools/wine_bridge/bridge_sync.exe 2>/dev/null; then
    echo "bridge_sync took a description without its end line"
    status=1
fi
for dir in "${dirs[@]}"; do
    echo "== tests of $dir under Wine"
    ctest --preset "${dir#build-}" || status=1
done
for dir in "${dirs[@]}"; do
    echo "== end-to-end tests: $dir/app/quellix.exe under Wine"
    e2e_suite "$dir" || status=1
done
if [ "$only64" = 0 ]; then
    echo "== packaging: signing; the MSI packages installed, upgraded and removed under Wine"
    bash scripts/test-packaging.sh || status=1
fi
if [ -n "$repro_pid" ]; then
    echo "== quellix.exe built a second time in another folder"
    wait "$repro_pid" || status=1
    cat "$repro_log"
fi
if [ -z "$wine32" ] && [ "$only64" = 0 ]; then
    echo "== build-mingw32/app/quellix.exe checked as an image by the 64-bit checker"
    "$wine64" build-mingw64/tests/app/windows/exe_check.exe build-mingw32/app/quellix.exe i386 || status=1
    echo "32-bit runs not done: the tests of build-mingw32 (not built either) and the runs of the 32-bit quellix.exe under Wine (its end-to-end tests included), because $wine32_missing."
fi

elapsed="$(((SECONDS - stage_start) / 60)) min $(((SECONDS - stage_start) % 60)) s"
if [ "$status" -ne 0 ]; then
    echo "== Windows tests FAILED ($elapsed)"
    exit 1
fi
echo "== Windows tests passed ($elapsed)"
