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
# Targets: loopback ratio <= 1.3, wire ratio <= 1.05, start-up ratio <= 1.3.
# This is a benchmark: it reports, and fails only when a run does not do its
# work.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/bench_lib.sh
. bench/bench_lib.sh

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
bench_need VeltoConsole VeltoSimulator floor_client floor_timer floor_trivial
bench_begin

# One scenario: both programs once for their result (inputs 1 and 3 on give
# 5), then the timed, alternating runs. $1 = label, $2 = target ratio.
compare_runs() {
  local label=$1 target=$2
  local console=("$bin/VeltoConsole" "/TCP=$host:$port" /Address=1 /Out3=On /ErrorCode=In1,In2,In3)
  local floor=("$bin/floor_client" "$host" "$port")
  bench_expect_inputs_1_3 "$label: " "${console[@]}"
  bench_expect_inputs_1_3 "$label: " "${floor[@]}"
  echo "== $label ($runs runs each, alternating; target ratio <= $target)"
  "$bin/floor_timer" -n "$runs" -- "${console[@]}" -- "${floor[@]}"
}

bench_start_tcp_simulator --inputs-on 1,3
compare_runs "loopback TCP" 1.3

if [ -n "$wire_baud" ]; then
  if "$bin/VeltoSimulator" --help 2>/dev/null | grep -q -- '--wire-baud'; then
    bench_start_tcp_simulator --inputs-on 1,3 --wire-baud "$wire_baud"
    compare_runs "answers held for their wire time at $wire_baud baud" 1.05
  else
    echo "== wire time at $wire_baud baud: skipped, this simulator has no --wire-baud option"
  fi
fi
bench_stop_simulator

echo "== start-up: VeltoConsole /? against a C program that does nothing ($((runs * 4)) runs each;" \
  "target ratio <= 1.3)"
"$bin/floor_timer" -n $((runs * 4)) -- "$bin/VeltoConsole" /? -- "$bin/floor_trivial"
