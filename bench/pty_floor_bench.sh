#!/usr/bin/env bash
# A whole console run on a serial line against its floor. The module
# simulator serves a pseudo-terminal that answers at once (no line delay);
# VeltoConsole runs the worked example on it as COM9 (/COM=9:9600 /Address=1
# /Out3=On /ErrorCode=In1,In2,In3: identify, set output 3, read the outputs
# back, read the inputs), and bench/floor_pty_client.c does the same four
# exchanges on the same device, raw. The two run alternately, RUNS times
# each, and the medians and their ratio are printed.
#
#   bench/pty_floor_bench.sh [--build DIR] [--runs N]
#
# Target: ratio at most 1.5. A benchmark: it reports, and fails only when a
# run does not do its work.
#
# The ratio follows the machine's load more than the floor_bench.sh ones do:
# the serial port's writer and event threads each cost a scheduler round at
# start and at close, which on a core busy with other programs' work is a
# time slice. Run it on a quiet machine, or compare two builds on the same
# one; the waits column (how often a run slept waiting) counts those
# hand-offs and hardly moves with the load. `VeltoConsole /?` against
# floor_trivial (floor_bench.sh) gives the share of the program's start-up.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/bench_lib.sh
. bench/bench_lib.sh

build=build
runs=50
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--runs N]" >&2; exit 2 ;;
  esac
done
bin=$build/bin
bench_need VeltoConsole VeltoSimulator floor_pty_client floor_timer
bench_begin

bench_start_pty_simulator --inputs-on 1,3
export VELTO_COM9=$pty

console=("$bin/VeltoConsole" /COM=9:9600 /Address=1 /Out3=On /ErrorCode=In1,In2,In3)
floor=("$bin/floor_pty_client" "$pty")
bench_expect_inputs_1_3 "" "${console[@]}"
bench_expect_inputs_1_3 "" "${floor[@]}"
echo "== worked example on a pseudo-terminal, no line delay ($runs runs each, alternating;" \
  "target ratio <= 1.5)"
"$bin/floor_timer" -n "$runs" -- "${console[@]}" -- "${floor[@]}"
