#!/usr/bin/env bash
# Runs the normal suite and the ThreadSanitizer suite, each test repeated up
# to N times until it fails (ctest --repeat until-fail:N), while a CPU burner
# keeps every core busy: a test that passes only on an idle machine fails
# here. Usage: scripts/stress.sh [N [REGEX]]   (N defaults to 20; REGEX, when
# given, runs only the tests whose names match it, as ctest -R does)
# Not part of CI: with N = 20 it takes the better part of an hour.
set -euo pipefail
cd "$(dirname "$0")/.."

n="${1:-20}"
if ! [[ "$n" =~ ^[1-9][0-9]*$ ]] || [ $# -gt 2 ]; then
  echo "usage: $0 [N [REGEX]]   (N: how often each test may run, a whole number from 1;" \
    "REGEX: only the tests whose names match it)" >&2
  exit 2
fi
filter=()
[ $# -lt 2 ] || filter=(-R "$2")

scripts/install-deps.sh
cores=$(nproc)
presets=(default tsan)
for preset in "${presets[@]}"; do
  echo "=== building ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$cores"
done

# The burner ends with this script, however it ends; a time-out as a last guard.
stress-ng --cpu "$cores" --timeout 6h --quiet &
burner=$!
trap 'kill "$burner" 2>/dev/null || true; wait "$burner" 2>/dev/null || true' EXIT

status=0
summary=()
for preset in "${presets[@]}"; do
  dir=build
  [ "$preset" = default ] || dir="build-${preset}"
  log="${dir}/stress.log"
  echo "=== ${preset}: every test up to ${n} times, ${cores} cores busy (log: ${log}) ==="
  start=$(date +%s)
  if ctest --preset "$preset" "${filter[@]}" --repeat until-fail:"$n" >"$log" 2>&1; then
    result="green"
  else
    result="RED"
    status=1
    grep -A100 "The following tests FAILED" "$log" >&2 || tail -50 "$log" >&2
  fi
  seconds=$(($(date +%s) - start))
  line=$(grep -E "tests passed|tests failed" "$log" | tail -1 || true)
  summary+=("${preset}: ${result}, ${line:-no summary}, ${seconds} s")
done

echo "=== stress summary (N = ${n}${2:+, tests matching '$2'}, ${cores} cores kept busy by stress-ng) ==="
printf '%s\n' "${summary[@]}"
exit "$status"
