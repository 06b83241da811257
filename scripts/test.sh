#!/usr/bin/env bash
# Builds and runs the whole suite three times: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build and a ThreadSanitizer
# build. Fails when any build or test fails. Then installs, packages and
# embeds the library from the normal build (scripts/package-test.sh), and
# builds the fuzzers and runs each briefly (FUZZ_SECONDS, default 20, per
# target; every build also replays the fuzz corpus as plain tests). Then the
# 64-bit ARM cross build: built, its whole suite run under user-mode emulation
# and packaged (scripts/cross.sh arm64). Last, the test machine with the
# kernel's real serial and USB drivers (scripts/vm-test.sh).
# The 32-bit ARM build (scripts/cross.sh armhf) is run by hand: with it the
# whole run would no longer keep within an hour on a 2-core machine.
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
echo "=== fuzz ==="
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
echo "=== arm64 ==="
scripts/cross.sh arm64
echo "=== test machine ==="
scripts/vm-test.sh build
