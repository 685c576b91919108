#!/usr/bin/env bash
# Builds the project (release) and starts the Instrument Server on the
# simulated bench. Without a display it runs on Qt's offscreen platform and
# writes its log to standard error. Commands on standard input:
#   plug <serial> <description>, unplug <serial>, list, window, minimize, quit, help
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset release > /dev/null
cmake --build --preset release -j "$(nproc)" --target instrument-server instrument-server-sim
exec build/release/app/instrument-server-sim
