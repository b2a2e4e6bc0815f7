#!/usr/bin/env bash
# The test command: installs what is missing, builds and runs the tests, stage by
# stage. CI runs it with no argument, which is every stage; the README names it.
#
#   test.sh [STAGE...]   the stages named, in this order:
#     native      the Linux build (native preset): unit, end-to-end and oracle tests
#     sanitizers  the same suite under AddressSanitizer and UndefinedBehaviorSanitizer
#     valgrind    the unit-test executables of the Linux build under valgrind
#     fuzz        each libFuzzer target over its seed corpus (scripts/fuzz.sh)
#     windows     both MinGW-w64 builds, their tests and the end-to-end suite under
#                 Wine, reproducibility and packaging (scripts/test-windows.sh)
#   test.sh --help       this text
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(native sanitizers valgrind fuzz windows)
usage() { sed -n '/^#   test.sh \[/,/^#   test.sh --help/s/^# \{0,3\}//p' "$0"; }
case "${1:-}" in
  -h | --help | help) usage; exit 0 ;;
esac
stages=("$@")
[ $# -gt 0 ] || stages=("${all_stages[@]}")
for s in "${stages[@]}"; do
  [[ " ${all_stages[*]} " == *" $s "* ]] || { echo "test.sh: no stage '$s'" >&2; usage >&2; exit 2; }
done
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

source scripts/lib.sh
fuzz_seconds=${QUELLIX_FUZZ_SECONDS:-60}

# --- packages of the stages asked for (fuzz.sh and test-windows.sh add their own) --
packages=(g++ cmake make googletest libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev
  libssl-dev python3)
! wants valgrind || packages+=(valgrind)
install_missing "${packages[@]}"

# --- the stages -------------------------------------------------------------------
# Each stage is one chain of steps: the loop below calls them as a condition, where
# set -e does not hold.
build() { configure "$1" && cmake --build --preset "$1" -j"$jobs"; }

stage_native() { build native && ctest --preset native -j"$jobs"; }

stage_sanitizers() { build sanitizers && ctest --preset sanitizers -j"$jobs"; }

# Every unit-test executable of the native build, $jobs at a time, each one's output
# shown when it fails. The death tests fork and abort on purpose; valgrind has nothing
# to say about them. e2e_tests runs child processes: the sanitizer stage covers it.
stage_valgrind() {
  local log
  build native && log=$(mktemp -d) || return 1
  ls build/tests/*/*_tests | grep -v /e2e_tests$ |
    xargs -P "$jobs" -I{} bash -c '
      out='"$log"'/$(echo {} | tr / _)
      if valgrind -q --error-exitcode=9 --leak-check=full \
          --errors-for-leak-kinds=definite,indirect {} \
          --gtest_filter="-BigIntFatal.*:*DeathTest.*" --gtest_brief=1 >"$out" 2>&1; then
        echo "-- {}: clean"
      else
        echo "-- {}: FAILED"; cat "$out"; exit 1
      fi' || { rm -rf "$log"; return 1; }
  rm -rf "$log"
}

stage_fuzz() { bash scripts/fuzz.sh "$fuzz_seconds"; }

stage_windows() { bash scripts/test-windows.sh; }

# --- run them, timing each ----------------------------------------------------------
# The processor time of the finished child processes (user and system), in seconds,
# into $cpu: next to the wall time it tells a stage's own cost from a busy machine's.
times_file=$(mktemp)
at_exit 'rm -f "$times_file"'
cpu_now() {
  times >"$times_file"
  cpu=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } }
    END { printf "%d", t }' "$times_file")
}
report=()
for s in "${all_stages[@]}"; do
  wants "$s" || continue
  echo "== stage $s"
  start=$SECONDS
  cpu_now
  before=$cpu
  if ! "stage_$s"; then
    echo "== stage $s FAILED after $((SECONDS - start)) s"
    exit 1
  fi
  cpu_now
  report+=("$s $((SECONDS - start)) s (processor $((cpu - before)) s)")
done
echo "== passed: $(printf '%s; ' "${report[@]}")total $SECONDS s, load now $(cut -d' ' -f1-3 /proc/loadavg)"
