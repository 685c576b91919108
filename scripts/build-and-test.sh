#!/usr/bin/env bash
# Builds the project and runs the whole test suite, first in the default
# (debug) configuration, then under AddressSanitizer + UBSan and under
# ThreadSanitizer. Fails on any failing test or sanitizer report.
#   scripts/build-and-test.sh            all three configurations
#   scripts/build-and-test.sh debug      only the named ones
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
  presets=(debug asan tsan)
fi

# Let ccache share results between clones of the project in other folders.
export CCACHE_BASEDIR="$PWD"
export CCACHE_NOHASHDIR=1

jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "${preset}" > /dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  echo "=== ${preset}: test"
  ctest --preset "${preset}" -j "${jobs}"
done
echo "=== all configurations passed: ${presets[*]}"
