#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test.
# This is the README's test command, and CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# --- packages -----------------------------------------------------------------
packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev libssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# --- native build, all tests ---------------------------------------------------
echo "== native build"
cmake -S . -B build -DQUELLIX_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# --- the same tests under AddressSanitizer and UndefinedBehaviorSanitizer ------
echo "== sanitizer build"
cmake -S . -B build-asan -DQUELLIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs")

echo "== all tests passed"
