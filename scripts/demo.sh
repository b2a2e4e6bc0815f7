#!/usr/bin/env bash
# The main job end to end: read the touch-screen calibration out of the (simulated)
# BIOS, change it, write it back, and read it again to show that it changed.
#
# Builds only quellix and misc-driver-sim (the program preset: no test libraries)
# into build/ (or $QUELLIX_DEMO_BUILD_DIR), runs the simulated misc driver in a
# temporary device root with a temporary Table 5 file, and runs quellix in a
# temporary folder. Everything temporary is removed and the simulator stopped on
# exit. Installs what is missing; exits non-zero if any step fails.
#
# --windows: the same with the 64-bit quellix.exe (build-mingw64) under Wine, through
# scripts/wine-run.sh, which lets it find and open the simulated driver through
# SetupAPI and DeviceIoControl, in this checkout's Wine prefix (WINEPREFIX to choose
# another). The first run makes the prefix, which takes a minute. The Wine server and
# the relay that the demo started are stopped when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

WINDOWS=no
case "${1:-}" in
  "") ;;
  --windows) WINDOWS=yes ;;
  *) echo "usage: demo.sh [--windows]" >&2; exit 2 ;;
esac

# yes: the secure session (Diffie-Hellman, HMAC-SHA1, Blowfish) as in the field;
# no: a driver without encryption (misc-driver-sim --no-encryption).
ENCRYPTION=${QUELLIX_DEMO_ENCRYPTION:-yes}
BUILD=${QUELLIX_DEMO_BUILD_DIR:-build}

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

# Builds targets quietly; a failure shows the end of the build's output.
build() {
  local dir=$1 out
  shift
  out=$(cmake --build "$dir" --target "$@" -j"$jobs" 2>&1) || { echo "$out" | tail -n 30 >&2; fail "building $* failed"; }
}

packages=(g++ cmake make)
[ "$WINDOWS" = no ] || packages+=(wine wine64 g++-mingw-w64-x86-64 googletest)
install_missing "${packages[@]}"

step "building quellix and misc-driver-sim into $BUILD/"
# A folder that is configured already (with the tests, say) is kept as it is.
[ -f "$BUILD/Makefile" ] || configure program "$BUILD" || fail "configuring $BUILD failed"
build "$BUILD" quellix misc-driver-sim quellix-wine-relay
quellix=$(cd "$BUILD" && pwd)/app/quellix
sim=$(cd "$BUILD" && pwd)/tools/misc_driver_sim/misc-driver-sim
runner=()
if [ "$WINDOWS" = yes ]; then
  step "building the 64-bit quellix.exe and the Wine bridge into build-mingw64/"
  [ -f build-mingw64/Makefile ] || configure mingw64 || fail "configuring build-mingw64 failed"
  build build-mingw64 quellix quellix_bridge bridge_sync
  quellix=$PWD/build-mingw64/app/quellix.exe
  runner=(env QUELLIX_NATIVE_BUILD="$(cd "$BUILD" && pwd)" bash "$PWD/scripts/wine-run.sh")
  export WINEPREFIX=${WINEPREFIX:-$(default_wineprefix)}
  # What runs for this prefix already (another run's relay) is left alone.
  relay=$(cat "$WINEPREFIX/quellix-bridge/relay.pid" 2>/dev/null || true)
  if [ -z "$relay" ] || ! grep -qa quellix-wine-relay "/proc/$relay/cmdline" 2>/dev/null; then
    at_exit stop_wine
  fi
  [ -f "$quellix" ] || fail "no $quellix"
else
  [ -x "$quellix" ] || fail "no $quellix"
fi
[ -x "$sim" ] || fail "no $sim"

tmp=$(mktemp -d /tmp/quellix-demo-XXXXXX)
at_exit 'rm -rf "$tmp"'

root=$tmp/root
table=$tmp/table5.bin
mkdir -p "$root" "$tmp/first" "$tmp/second"
export MISC_DEVICE_ROOT=$root

sim_args=(--root "$root" --table "$table")
case "$ENCRYPTION" in
  yes) mode="encrypted session" ;;
  no) sim_args+=(--no-encryption); mode="no encryption" ;;
  *) fail "QUELLIX_DEMO_ENCRYPTION must be yes or no, not '$ENCRYPTION'" ;;
esac

step "starting the simulated misc driver ($mode)"
"$sim" "${sim_args[@]}" >"$tmp/sim.out" 2>"$tmp/sim.log" &
sim_pid=$!
at_exit "stop_pid $sim_pid"
wait_for "$sim_pid" 10 grep -qx ready "$tmp/sim.out" ||
  fail "the simulator did not start: $(cat "$tmp/sim.log")"
echo "device root $root, table file $table"

# Runs quellix in a folder; with -debug a failure is reported on stderr, and the
# exit code is always 0, so an empty stderr is the sign of success. Under Wine,
# status 125 is wine-run.sh's own: Wine did not get as far as the program.
run_quellix() {
  local folder=$1
  shift
  local err rc=0
  err=$(cd "$folder" && "${runner[@]}" "$quellix" -debug "$@" 2>&1 >/dev/null) || rc=$?
  if [ "$rc" = 125 ] && [ "$WINDOWS" = yes ]; then
    fail "Wine could not run quellix.exe: $err"
  fi
  [ "$rc" = 0 ] || fail "quellix crashed (status $rc): $err"
  [ -z "$err" ] || fail "quellix $*: $err"
}

# The 16 words of a calibration file, one "word i: xxxx" per line.
show_words() {
  tr -s ' \r\n\t' '\n' <"$1" | grep -v '^$' | head -16 |
    awk '{ printf "  word %2d: %s\n", NR - 1, $0 }'
}

name=quellix
if [ "$WINDOWS" = yes ]; then
  name="quellix.exe under Wine"
  echo "quellix.exe: $quellix, Wine prefix $WINEPREFIX"
fi

step "read-out: $name (no options) writes calibfrombios.bin"
run_quellix "$tmp/first"
before=$tmp/first/calibfrombios.bin
[ "$(wc -c <"$before")" -eq 80 ] || fail "calibfrombios.bin is not 80 bytes"
show_words "$before"

step "changing every word by +0x0101 and writing the file back"
changed=$tmp/first/changed.txt
for w in $(cat "$before"); do
  printf '%04x ' $(((0x$w + 0x0101) & 0xFFFF))
done >"$changed"
run_quellix "$tmp/first" -calibfile changed.txt
echo "$name -calibfile changed.txt: sent in three driver steps"

step "read-out again, in a fresh folder"
run_quellix "$tmp/second"
after=$tmp/second/calibfrombios.bin
paste -d' ' <(show_words "$before") <(show_words "$after" | sed 's/^ *word *[0-9]*: //') |
  awk '{ printf "  word %2d: %s -> %s\n", $2, $3, $4 }'

cmp -s "$changed" "$after" || fail "the words read back are not the words written"
cmp -s "$before" "$after" && fail "the words did not change"
step "done: the BIOS now holds the changed calibration ($mode, $name)"
