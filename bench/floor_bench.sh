#!/usr/bin/env bash
# A whole console run against its floor. VeltoConsole runs the worked example
# (/Address=1 /Out3=On /ErrorCode=In1,In2,In3: identify, set output 3, read
# the outputs back, read the inputs) against the module simulator on loopback
# TCP, and bench/floor_client.c does the same four exchanges over a plain
# socket; the two run alternately against one simulator, RUNS times each, and
# the medians and their ratio are printed. Then the same with the simulator
# holding every answer for its wire time at 9600 baud (skipped, with a
# message, by a simulator without --wire-baud), and the start-up cost of
# `VeltoConsole /?` against a C program that does nothing.
#
#   bench/floor_bench.sh [--build DIR] [--runs N] [--wire-baud N | --no-wire]
#
# Targets: loopback ratio <= 1.5, wire ratio <= 1.05. This is a benchmark:
# it reports, and fails only when a run does not do its work.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
runs=50
wire_baud=9600
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --wire-baud) wire_baud=$2; shift 2 ;;
    --no-wire) wire_baud=""; shift ;;
    *) echo "usage: $0 [--build DIR] [--runs N] [--wire-baud N | --no-wire]" >&2; exit 2 ;;
  esac
done
bin=$build/bin
for program in VeltoConsole VeltoSimulator floor_client floor_timer floor_trivial; do
  [ -x "$bin/$program" ] || { echo "$bin/$program is missing: build the default preset first" >&2; exit 2; }
done

sim_pid=""
sim_out=$(mktemp)
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap 'stop_simulator; rm -f "$sim_out"' EXIT

# Starts a simulator with inputs 1 and 3 on and the given extra options;
# sets host and port.
start_simulator() {
  stop_simulator
  "$bin/VeltoSimulator" --port 0 --inputs-on 1,3 "$@" </dev/null >"$sim_out" 2>/dev/null &
  sim_pid=$!
  local endpoint=""
  for _ in $(seq 200); do
    endpoint=$(sed -n 's/^Listening on //p' "$sim_out" | head -n 1)
    [ -n "$endpoint" ] && break
    sleep 0.05
  done
  [ -n "$endpoint" ] || { echo "the simulator did not start" >&2; exit 1; }
  host=${endpoint%:*}
  port=${endpoint##*:}
}

# One scenario: both programs once for their result (inputs 1 and 3 on give
# 5), then the timed, alternating runs. $1 = label, $2 = target ratio.
compare_runs() {
  local label=$1 target=$2 status
  local console=("$bin/VeltoConsole" "/TCP=$host:$port" /Address=1 /Out3=On /ErrorCode=In1,In2,In3)
  local floor=("$bin/floor_client" "$host" "$port")
  for command in console floor; do
    local -n argv=$command
    status=0
    "${argv[@]}" >/dev/null 2>&1 || status=$?
    [ "$status" -eq 5 ] || { echo "$label: ${argv[0]} ended with $status, not 5" >&2; exit 1; }
  done
  echo "== $label ($runs runs each, alternating; target ratio <= $target)"
  "$bin/floor_timer" -n "$runs" -- "${console[@]}" -- "${floor[@]}"
}

start_simulator
compare_runs "loopback TCP" 1.5

if [ -n "$wire_baud" ]; then
  if "$bin/VeltoSimulator" --help 2>/dev/null | grep -q -- '--wire-baud'; then
    start_simulator --wire-baud "$wire_baud"
    compare_runs "answers held for their wire time at $wire_baud baud" 1.05
  else
    echo "== wire time at $wire_baud baud: skipped, this simulator has no --wire-baud option"
  fi
fi
stop_simulator

echo "== start-up: VeltoConsole /? against a C program that does nothing ($((runs * 4)) runs each)"
"$bin/floor_timer" -n $((runs * 4)) -- "$bin/VeltoConsole" /? -- "$bin/floor_trivial"
