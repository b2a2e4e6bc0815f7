#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang-14) and runs each one for the
# given number of seconds (default 60) over a copy of its seed corpus
# fuzz/corpus/<name>/, as many at a time as there are processors. Fails on any crash,
# leak, timeout or sanitizer report. Runs grow only the temporary copies, never the
# committed corpus. Installs the compiler when it is missing.
#
# fuzz.sh --build: builds the targets and stops there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

build_only=0
[ "${1:-}" != --build ] || build_only=1
seconds=${1:-60}
build=build-fuzz

install_missing cmake make clang-14 libclang-rt-14-dev
configure fuzz
targets=()
for source in fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$source" .cpp)")   # client_reply_fuzz
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$build/build.log" 2>&1 ||
  { tail -n 40 "$build/build.log"; echo "== building the fuzz targets failed"; exit 1; }
[ "$build_only" = 0 ] || exit 0

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

work=$(mktemp -d)
at_exit 'rm -rf "$work"'

# One target's run; its log and inputs stay in $work/<name>/ until the report.
fuzz_one() {
  local target=$1 name=${1%_fuzz}
  local corpus="$work/$name/corpus" artifacts="$work/$name/artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$work/$name/log" 2>&1
}

# $jobs targets at a time: each is one process on one processor.
echo "== fuzzing ${targets[*]} for ${seconds}s each, $jobs at a time"
declare -A pids=()
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_one "$target" &
  pids[$target]=$!
done

status=0
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  if wait "${pids[$target]}"; then
    echo "-- $target: $(grep -E '^stat::number_of_executed_units' "$work/$name/log" | awk '{print $2}') inputs"
  else
    status=1
    tail -n 60 "$work/$name/log"
    mkdir -p "$build/findings/$name"
    cp -R "$work/$name/artifacts/." "$build/findings/$name/" 2>/dev/null || true
    echo "== $target FAILED; inputs kept in $build/findings/$name/"
  fi
done

if [ "$status" -ne 0 ]; then
  echo "== fuzzing found problems"
  exit 1
fi
echo "== fuzzing passed"
