#!/usr/bin/env bash
# Builds and runs the whole suite three times: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build and a ThreadSanitizer
# build. Fails when any build or test fails. Then installs, packages and
# embeds the library from the normal build (scripts/package-test.sh).
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
echo "=== package ==="
scripts/package-test.sh build
