#!/usr/bin/env bash
# The worked example over a pseudo-terminal whose far end answers like a
# module on a real line (the simulator holds every answer for the wire time
# of the request and the answer, 10 bits a byte, at --wire-baud). Prints the
# median wall time of the runs beside the wire time of the run's exchanges
# and the program's own start-up (median of `VeltoConsole /?`).
#   RUNS=20 BAUD=9600 bash bench/serial_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-20}
baud=${BAUD:-9600}
cmake --preset default >/dev/null
cmake --build --preset default --target VeltoConsole VeltoSimulator >/dev/null
bin=build/bin

if ! "$bin/VeltoSimulator" --help | grep -q -- '--wire-baud'; then
  echo "serial_bench: VeltoSimulator has no --wire-baud option; nothing measured" >&2
  exit 2
fi

out=$(mktemp)
log=$(mktemp)
"$bin/VeltoSimulator" --port 0 --pty --log --wire-baud "$baud" --inputs-on 1,3 \
  </dev/null >"$out" 2>"$log" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; rm -f "$out" "$log"' EXIT
for _ in $(seq 200); do grep -q '^PTY ' "$out" && break; sleep 0.05; done
pty=$(sed -n 's/^PTY //p' "$out" | head -n 1)
[ -n "$pty" ] || { echo "serial_bench: the simulator made no terminal" >&2; exit 1; }
export VELTO_COM9=$pty

now_ns() { date +%s%N; }
median_ms() { sort -n | awk '{ v[NR] = $1 } END {
  m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m / 1e6 }'; }

# One run first: it checks the outcome and gives the bytes on the wire.
set +e
"$bin/VeltoConsole" /COM=9:"$baud" /Address=1 /Out3=On /ErrorCode=In1,In2,In3 >/dev/null
code=$?
set -e
[ "$code" -eq 5 ] || { echo "serial_bench: the worked example ended with $code, not 5" >&2; exit 1; }
sleep 0.2
bytes=$(awk '/^(RX|TX) [0-9A-F]/ { n += NF - 1 } END { print n + 0 }' "$log")

runs_ns=()
for _ in $(seq "$runs"); do
  t0=$(now_ns)
  "$bin/VeltoConsole" /COM=9:"$baud" /Address=1 /Out3=On /ErrorCode=In1,In2,In3 >/dev/null || true
  runs_ns+=($(( $(now_ns) - t0 )))
done
start_ns=()
for _ in $(seq "$runs"); do
  t0=$(now_ns)
  "$bin/VeltoConsole" /? >/dev/null || true
  start_ns+=($(( $(now_ns) - t0 )))
done

run_ms=$(printf '%s\n' "${runs_ns[@]}" | median_ms)
start_ms=$(printf '%s\n' "${start_ns[@]}" | median_ms)
wire_ms=$(awk -v b="$bytes" -v baud="$baud" 'BEGIN { printf "%.1f", b * 10 * 1000 / baud }')
awk -v run="$run_ms" -v wire="$wire_ms" -v start="$start_ms" -v bytes="$bytes" \
    -v baud="$baud" -v n="$runs" 'BEGIN {
  printf "worked example over a pseudo-terminal at %d baud, median of %d runs\n", baud, n
  printf "  wire time of its exchanges  %8.1f ms (%d bytes, 10 bits a byte)\n", wire, bytes
  printf "  program start-up (/?)       %8.1f ms\n", start
  printf "  run                         %8.1f ms\n", run
  printf "  run / (wire + start-up)     %8.3f (target at most 1.05)\n", run / (wire + start)
}'
