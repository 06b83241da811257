#!/usr/bin/env bash
# Builds the program and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target VeltoConsole
build/bin/VeltoConsole /? || true
