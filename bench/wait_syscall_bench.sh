#!/usr/bin/env bash
# Busy waiting, counted: the worked example (/Address=1 /Out3=On
# /ErrorCode=In1,In2,In3) against a module simulator that holds every answer
# back (--answer-delay, 100 ms by default), once over loopback TCP and once
# over a USB adapter (the stand-in D2XX library build/bin/libfake_d2xx.so
# leads the adapter to the same simulator), each under `strace -f -c`. A run
# that waits for its answers sleeps in a few calls per exchange; one that
# polls makes a call every millisecond or so.
#
#   bench/wait_syscall_bench.sh [--build DIR] [--delay MS] [--runs N]
#
# Prints, per transport, the medians over RUNS runs of the calls that wait
# (poll, futex, sched_yield, the sleeps) and the ratio of the USB run's
# futex + sched_yield + sleep calls to the TCP run's poll calls (target at
# most 2). The USB figures include the stand-in library's own threads, as
# they would include the real library's. A benchmark: it reports, and fails
# only when a run does not do its work.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/bench_lib.sh
. bench/bench_lib.sh

build=build
delay=100
runs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --delay) delay=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--delay MS] [--runs N]" >&2; exit 2 ;;
  esac
done
bin=$build/bin
bench_need VeltoConsole VeltoSimulator libfake_d2xx.so
command -v strace >/dev/null || { echo "strace is missing (Debian package strace)" >&2; exit 2; }
bench_begin

bench_start_tcp_simulator --inputs-on 1,3 --answer-delay "$delay"
example=(/Address=1 /Out3=On /ErrorCode=In1,In2,In3)

# Calls of one kind in an `strace -c` table (0 when none were made).
calls() {
  awk -v name="$2" '$NF == name { n = $4 } END { print n + 0 }' "$1"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One transport: RUNS counted runs; each must end with 5 (inputs 1 and 3 on).
# Writes "poll futex yield sleep" medians to $scratch/LABEL.
count_runs() {
  local label=$1
  shift
  local polls=() futexes=() yields=() sleeps=() status
  for i in $(seq "$runs"); do
    local table=$scratch/$label.$i
    status=0
    strace -f -c -o "$table" "$@" >/dev/null 2>"$scratch/$label.err" || status=$?
    [ "$status" -eq 5 ] || {
      echo "$label run ended with $status, not 5: $(cat "$scratch/$label.err")" >&2
      exit 1
    }
    polls+=($(( $(calls "$table" poll) + $(calls "$table" ppoll) )))
    futexes+=("$(calls "$table" futex)")
    yields+=("$(calls "$table" sched_yield)")
    sleeps+=($(( $(calls "$table" nanosleep) + $(calls "$table" clock_nanosleep) )))
  done
  echo "$(printf '%s\n' "${polls[@]}" | median) $(printf '%s\n' "${futexes[@]}" | median)" \
    "$(printf '%s\n' "${yields[@]}" | median) $(printf '%s\n' "${sleeps[@]}" | median)" \
    >"$scratch/$label"
}

count_runs tcp "$bin/VeltoConsole" "/TCP=$host:$port" "${example[@]}"
count_runs usb env VELTO_D2XX_LIBRARY="$bin/libfake_d2xx.so" FAKE_D2XX_DEVICE="SIM123@$host:$port" \
  "$bin/VeltoConsole" /USB=SIM123 "${example[@]}"
read -r tcp_poll tcp_futex tcp_yield tcp_sleep <"$scratch/tcp"
read -r usb_poll usb_futex usb_yield usb_sleep <"$scratch/usb"

awk -v d="$delay" -v n="$runs" -v tp="$tcp_poll" -v tf="$tcp_futex" -v ty="$tcp_yield" \
    -v ts="$tcp_sleep" -v up="$usb_poll" -v uf="$usb_futex" -v uy="$usb_yield" \
    -v us="$usb_sleep" 'BEGIN {
  printf "worked example, answers held %d ms; system calls that wait, median of %d runs (strace -f -c)\n", d, n
  printf "  %-34s %8s %8s %8s %8s\n", "", "poll", "futex", "yield", "sleep"
  printf "  %-34s %8d %8d %8d %8d\n", "TCP", tp, tf, ty, ts
  printf "  %-34s %8d %8d %8d %8d\n", "USB (stand-in library included)", up, uf, uy, us
  usb = uf + uy + us
  printf "  USB futex+yield+sleep / TCP poll   %d / %d = %.2f (target at most 2)\n", usb, tp, tp ? usb / tp : 0
}'
