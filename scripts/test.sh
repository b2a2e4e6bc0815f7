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
#                 Wine, reproducibility and packaging (scripts/test-windows.sh); with
#                 fuzz as well, the fuzzers run meanwhile, beside the tests under Wine
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
! wants fuzz || packages+=(clang-14 libclang-rt-14-dev)
! wants windows || packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64)
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
# The word-count comparison with GMP, 1,500 random shapes through code that the other
# comparisons run as well, was a fifth of this stage: the other stages run it.
stage_valgrind() {
  local log
  build native && log=$(mktemp -d) || return 1
  ls build/tests/*/*_tests | grep -v /e2e_tests$ |
    xargs -P "$jobs" -I{} bash -c '
      out='"$log"'/$(echo {} | tr / _)
      if valgrind -q --error-exitcode=9 --leak-check=full \
          --errors-for-leak-kinds=definite,indirect {} \
          --gtest_filter="-BigIntFatal.*:*DeathTest.*:BigIntVsGmp.WordCounts*" \
          --gtest_brief=1 >"$out" 2>&1; then
        echo "-- {}: clean"
      else
        echo "-- {}: FAILED"; cat "$out"; exit 1
      fi' || { rm -rf "$log"; return 1; }
  rm -rf "$log"
}

stage_fuzz() { bash scripts/fuzz.sh "$fuzz_seconds"; }

# The tests under Wine run one at a time and leave a processor idle: with the fuzz
# stage asked for as well, the cross builds and the fuzz targets are made first, side
# by side (the fuzz build's output is shown when it fails), and then the fuzz stage
# runs in the background beside the tests, at the lowest priority. The tests under
# Wine are one chain of programs waiting on each other, slowed at every step that
# waits for a processor, while a fuzzer runs for its given time and only tries fewer
# inputs with less. The fuzz stage is waited for at the end; its output comes then,
# whole, and its failure fails the run.
stage_windows() {
  wants fuzz || { bash scripts/test-windows.sh; return; }
  local windows=0 fuzz=0 fuzz_pid
  echo "== build-fuzz, beside the cross builds"
  bash scripts/fuzz.sh --build >"$fuzz_dir/build" 2>&1 &
  fuzz_pid=$!
  bash scripts/test-windows.sh --builds || windows=1
  wait "$fuzz_pid" || { cat "$fuzz_dir/build"; failed=(fuzz); }
  [ "$windows" = 0 ] || failed+=(windows)
  [ ${#failed[@]} = 0 ] || return 1
  echo "== stage fuzz, in the background beside the tests under Wine"
  in_the_background bash -c 'bash scripts/fuzz.sh "$1"; status=$?; times >"$2"; exit $status' _ \
    "$fuzz_seconds" "$fuzz_dir/times" >"$fuzz_dir/log" 2>&1
  fuzz_pid=$!
  at_exit "stop_group $fuzz_pid"
  fuzz_start=$SECONDS
  bash scripts/test-windows.sh --tests || windows=1
  wait "$fuzz_pid" || fuzz=1
  fuzz_wall=$((SECONDS - fuzz_start))
  echo "== stage fuzz (it ran beside the tests under Wine)"
  cat "$fuzz_dir/log"
  [ "$fuzz" = 0 ] || failed+=(fuzz)
  [ "$windows" = 0 ] || failed+=(windows)
  [ ${#failed[@]} = 0 ]
}

# --- run them, timing each ----------------------------------------------------------
# The processor time of the finished child processes (user and system), in seconds,
# into $cpu: next to the wall time it tells a stage's own cost from a busy machine's.
# cpu_in FILE: the same from what `times` wrote to FILE (the fuzz stage's own, when it
# runs beside the Windows stage: that one's figure is given without it).
fuzz_dir=$(mktemp -d)
at_exit 'rm -rf "$fuzz_dir"'
times_file=$fuzz_dir/times-here
cpu_in() {
  cpu=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } }
    END { printf "%d", t }' "$1")
}
cpu_now() {
  times >"$times_file"
  cpu_in "$times_file"
}
report=()
for s in "${all_stages[@]}"; do
  wants "$s" || continue
  # Run by the Windows stage, beside it.
  [ "$s" != fuzz ] || ! wants windows || continue
  echo "== stage $s"
  start=$SECONDS
  cpu_now
  before=$cpu
  failed=()
  if ! "stage_$s"; then
    [ ${#failed[@]} -gt 0 ] || failed=("$s")
    echo "== stage ${failed[*]} FAILED after $((SECONDS - start)) s"
    exit 1
  fi
  cpu_now
  if [ "$s" = windows ] && wants fuzz; then
    windows_cpu=$((cpu - before))
    cpu_in "$fuzz_dir/times"
    report+=("fuzz $fuzz_wall s (processor $cpu s), beside windows")
    cpu=$((windows_cpu - cpu)) before=0
  fi
  report+=("$s $((SECONDS - start)) s (processor $((cpu - before)) s)")
done
echo "== passed: $(printf '%s; ' "${report[@]}")total $SECONDS s, load now $(cut -d' ' -f1-3 /proc/loadavg)"
