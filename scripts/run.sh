#!/usr/bin/env bash
# Builds the project and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset release > /dev/null
cmake --build --preset release -j "$(nproc)"
echo "The server program is not built yet; running the test suite of what exists." >&2
ctest --preset release
