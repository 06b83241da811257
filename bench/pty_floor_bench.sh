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
set -euo pipefail
cd "$(dirname "$0")/.."

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
for program in VeltoConsole VeltoSimulator floor_pty_client floor_timer; do
  [ -x "$bin/$program" ] || { echo "$bin/$program is missing: build the default preset first" >&2; exit 2; }
done

sim_out=$(mktemp)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$sim_out"
}
trap cleanup EXIT

"$bin/VeltoSimulator" --port 0 --pty --inputs-on 1,3 </dev/null >"$sim_out" 2>/dev/null &
sim_pid=$!
pty=""
for _ in $(seq 200); do
  pty=$(sed -n 's/^PTY //p' "$sim_out" | head -n 1)
  [ -n "$pty" ] && break
  sleep 0.05
done
[ -n "$pty" ] || { echo "the simulator made no terminal" >&2; exit 1; }
export VELTO_COM9=$pty

console=("$bin/VeltoConsole" /COM=9:9600 /Address=1 /Out3=On /ErrorCode=In1,In2,In3)
floor=("$bin/floor_pty_client" "$pty")
for command in console floor; do
  declare -n argv=$command
  status=0
  "${argv[@]}" >/dev/null 2>&1 || status=$?
  [ "$status" -eq 5 ] || { echo "${argv[0]} ended with $status, not 5" >&2; exit 1; }
  unset -n argv
done
echo "== worked example on a pseudo-terminal, no line delay ($runs runs each, alternating;" \
  "target ratio <= 1.5)"
"$bin/floor_timer" -n "$runs" -- "${console[@]}" -- "${floor[@]}"
