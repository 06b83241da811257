#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds, starts the
# bundled module simulator on a free loopback port and runs real sessions of
# the console program against it, then stops the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target VeltoConsole VeltoSimulator TervanMonitor

bin=build/bin
out=$(mktemp)
mon=$(mktemp)
# The first run's traffic goes to a monitor on a private socket (switch /DST),
# which shows the module's identification on the wire.
export TERVAN_MONITOR_SOCKET
TERVAN_MONITOR_SOCKET="$(mktemp -u /tmp/velto-demo-XXXXXX.sock)"
# Without --stdin-quit the simulator keeps serving after its input ends.
"$bin/VeltoSimulator" --port 0 --inputs-on 1,3 </dev/null >"$out" 2>/dev/null &
sim=$!
"$bin/TervanMonitor" --socket "$TERVAN_MONITOR_SOCKET" --count 8 >"$mon" 2>&1 &
monitor=$!
trap 'kill "$sim" "$monitor" 2>/dev/null || true; rm -f "$out" "$mon" "$TERVAN_MONITOR_SOCKET"' EXIT
for _ in $(seq 100); do grep -q '^Listening on' "$out" && break; sleep 0.05; done
endpoint=$(sed -n 's/^Listening on //p' "$out" | head -n 1)
[ -n "$endpoint" ] || { echo "the simulator did not start" >&2; exit 1; }
echo "Module simulator listening on $endpoint (inputs 1 and 3 on)"

run() {
  echo
  echo "\$ VeltoConsole $*"
  set +e
  "$bin/VeltoConsole" "$@"
  local code=$?
  set -e
  echo "exit status: $code"
}
for _ in $(seq 100); do grep -q 'listening' "$mon" && break; sleep 0.05; done
run "/TCP=$endpoint" /Address=1 /Out3=On /ErrorCode=In1,In2,In3 /DST
sleep 0.2
echo
echo "Traffic of that run, as the monitor (build/bin/TervanMonitor) printed it:"
cat "$mon"
run "/TCP=$endpoint" /Address=1 /Out2=Off:5s /Out9=1 /ErrorCode=In2,In1
run "/TCP=$endpoint" /Address=1 /nolog /ErrorCode=In3
