#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
#   1. native build: unit, end-to-end and oracle tests (ctest);
#   2. the same suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the unit-test executables under valgrind;
#   4. the libFuzzer targets, about a minute each;
#   5. the Windows cross builds (32- and 64-bit), their tests under Wine.
# This is the README's test command, and CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${QUELLIX_FUZZ_SECONDS:-60}

# --- packages -----------------------------------------------------------------
source scripts/install-missing.sh
install_missing g++ cmake make googletest libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev \
    libssl-dev valgrind clang-14 libclang-rt-14-dev

# --- 1. native build, all tests ------------------------------------------------
echo "== native build"
cmake -S . -B build -DQUELLIX_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# --- 2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer ----
echo "== sanitizer build"
cmake -S . -B build-asan -DQUELLIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs")

# --- 3. unit tests under valgrind -----------------------------------------------
# The death tests fork and abort on purpose; valgrind has nothing to say about them.
echo "== valgrind"
for t in build/tests/*/*_tests; do
  [ -x "$t" ] || continue
  case "$t" in */e2e_tests) continue ;; esac  # child processes: covered by the sanitizer run
  echo "-- $t"
  valgrind -q --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$t" --gtest_filter='-BigIntFatal.*:*DeathTest.*' --gtest_brief=1
done

# --- 4. fuzzing -------------------------------------------------------------------
echo "== fuzzing"
bash scripts/fuzz.sh "$fuzz_seconds"

# --- 5. Windows -------------------------------------------------------------------
echo "== Windows cross builds, tests under Wine"
bash scripts/test-windows.sh

echo "== all tests passed"
