# shellcheck shell=bash
# bin comes from the sourcing script; host, port, pty and sim_line go back to it.
# shellcheck disable=SC2034,SC2154
# What the bench scripts share: the checks before they measure, the module
# simulator as a background process, and the one run that proves a command
# does its work before it is timed. Sourced from the top of the tree after
# `bin` is set; defines functions only, until bench_begin is called.

# Fails unless each named file is in $bin: a program must be executable, a
# library (*.so) only present.
bench_need() {
  local file
  for file in "$@"; do
    case "$file" in
      *.so) [ -e "$bin/$file" ] ;;
      *) [ -x "$bin/$file" ] ;;
    esac || { echo "$bin/$file is missing: build the default preset first" >&2; exit 2; }
  done
}

# Makes the scratch directory ($scratch) and sees that the simulator is
# stopped and the directory removed however the script ends.
bench_begin() {
  scratch=$(mktemp -d)
  sim_pid=""
  trap 'bench_stop_simulator; rm -rf "$scratch"' EXIT
}

bench_stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}

# Starts the simulator (stopping one started before) and waits for the line
# of its output that begins with $1; sets sim_line to the rest of that line,
# or fails with the message $2. The rest are the simulator's options.
bench_start_simulator() {
  local prefix=$1 failure=$2
  shift 2
  bench_stop_simulator
  # Made here, not by the background job's redirection: on a busy machine the
  # first look below can come before the job has started.
  : >"$scratch/sim.out"
  "$bin/VeltoSimulator" "$@" </dev/null >"$scratch/sim.out" 2>/dev/null &
  sim_pid=$!
  sim_line=""
  for _ in $(seq 200); do
    sim_line=$(sed -n "s/^$prefix//p" "$scratch/sim.out" | head -n 1)
    [ -n "$sim_line" ] && break
    sleep 0.05
  done
  [ -n "$sim_line" ] || { echo "$failure" >&2; exit 1; }
}

# The simulator on loopback TCP with the given options; sets host and port.
bench_start_tcp_simulator() {
  bench_start_simulator "Listening on " "the simulator did not start" --port 0 "$@"
  host=${sim_line%:*}
  port=${sim_line##*:}
}

# The simulator on a pseudo-terminal with the given options; sets pty.
bench_start_pty_simulator() {
  bench_start_simulator "PTY " "the simulator made no terminal" --port 0 --pty "$@"
  pty=$sim_line
}

# Runs a command once, its output discarded, and fails unless it ends with 5:
# inputs 1 and 3 on, as the benches start the simulator. $1 goes in front of
# the message (empty, or a label and ": ").
bench_expect_inputs_1_3() {
  local prefix=$1 status=0
  shift
  "$@" >/dev/null 2>&1 || status=$?
  [ "$status" -eq 5 ] || { echo "$prefix$1 ended with $status, not 5" >&2; exit 1; }
}
