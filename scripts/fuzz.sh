#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each one for the given
# number of seconds (default 60) over a copy of its seed corpus
# fuzz/corpus/<name>/. Fails on any crash, leak, timeout or sanitizer report.
# Runs grow only the temporary copies, never the committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build-fuzz
jobs=$(nproc 2>/dev/null || echo 2)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DQUELLIX_FUZZ=ON -DQUELLIX_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
for source in fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)   # client_reply_fuzz
  name=${target%_fuzz}                # client_reply
  corpus="$work/$name/corpus"
  artifacts="$work/$name/artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  echo "== fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
      >"$work/$name/log" 2>&1; then
    status=1
    tail -n 60 "$work/$name/log"
    mkdir -p "$build/findings/$name"
    cp -R "$artifacts/." "$build/findings/$name/" 2>/dev/null || true
    echo "== $target FAILED; inputs kept in $build/findings/$name/"
  else
    grep -E '^stat::number_of_executed_units|^Done' "$work/$name/log" || true
  fi
done

if [ "$status" -ne 0 ]; then
  echo "== fuzzing found problems"
  exit 1
fi
echo "== fuzzing passed"
