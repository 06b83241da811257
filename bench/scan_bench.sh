#!/usr/bin/env bash
# The bus scan over a pseudo-terminal whose far end is the simulator's bus of
# three modules answering like modules on a real line (--wire-baud, 10 bits a
# byte). Every one of the 254 addresses is asked; prints each run's time
# beside the wire time of the 254 nine-byte requests, and their ratio.
# Goal: at most 10 s at 9600 baud, with the three modules found.
#   RUNS=3 BAUD=9600 bash bench/scan_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
baud=${BAUD:-9600}
cmake --preset default >/dev/null
cmake --build --preset default --target VeltoScan VeltoSimulator >/dev/null
bin=build/bin

out=$(mktemp)
"$bin/VeltoSimulator" --port 0 --pty --wire-baud "$baud" --address 1,#120,#253 \
  --ident@#120 "VELTO RS 16/8;V2.00.00;F97" </dev/null >"$out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 200); do grep -q '^PTY ' "$out" && break; sleep 0.05; done
pty=$(sed -n 's/^PTY //p' "$out" | head -n 1)
[ -n "$pty" ] || { echo "scan_bench: the simulator made no terminal" >&2; exit 1; }
export VELTO_COM9=$pty

now_ns() { date +%s%N; }
wire_ms=$(awk -v baud="$baud" 'BEGIN { printf "%.1f", 254 * 9 * 10 * 1000 / baud }')
printf 'scan of #0..#253 over a pseudo-terminal at %d baud, three modules\n' "$baud"
printf '  wire time of the 254 requests  %8.1f ms (9 bytes each, 10 bits a byte)\n' "$wire_ms"
worst=0
for run in $(seq "$runs"); do
  t0=$(now_ns)
  set +e
  found=$("$bin/VeltoScan" /COM=9:"$baud" /nolog)
  code=$?
  set -e
  ms=$(( ($(now_ns) - t0) / 1000000 ))
  [ "$code" -eq 3 ] || { echo "scan_bench: run $run found $code modules, not 3:" >&2; echo "$found" >&2; exit 1; }
  awk -v run="$run" -v ms="$ms" -v wire="$wire_ms" 'BEGIN {
    printf "  run %d: %6d ms, scan / wire %6.2f%s\n", run, ms, ms / wire, (ms > 10000 ? "  (over the 10 s goal)" : "") }'
  [ "$ms" -gt "$worst" ] && worst=$ms
done
awk -v worst="$worst" 'BEGIN { printf "  slowest run %d ms (goal at most 10000 ms)\n", worst }'
[ "$worst" -le 10000 ]
