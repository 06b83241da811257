#!/usr/bin/env bash
# Builds and runs the whole suite three times: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build and a ThreadSanitizer
# build; then builds the fuzzers and runs each briefly (FUZZ_SECONDS, default
# 20, per target; every build also replays the fuzz corpus as plain tests).
# Fails when any build, test or fuzz target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
echo "=== fuzz ==="
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
