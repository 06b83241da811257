#!/usr/bin/env bash
# Judges the test machine's run on the host: each case's exit status,
# standard output and standard error lines from the console log, and the
# requests each simulator logged. Prints one PASS/FAIL line per case and
# "N passed, M failed" last; exits 0 only when all passed.
# Usage: check.sh CONSOLE_LOG UART_SIMULATOR_LOG USB_SIMULATOR_LOG BUS_SIMULATOR_LOG
set -uo pipefail
console=$1 uart_log=$2 usb_log=$3 bus_log=$4

passed=0 failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }

log=$(tr -d '\r' <"$console" | grep -a '^VMT|' || true)
field() { grep -a "^VMT|case|$1|" <<<"$log" | head -1 | cut -d'|' -f"$2"; }
lines() { grep -a "^VMT|$2|$1|" <<<"$log" | cut -d'|' -f4-; }

inputs_out() {  # ON...: a run's standard output for a module with these inputs on
  local out="Connection established." i state
  for i in 1 2 3 4 5 6 7 8; do
    state=Off
    [[ " $* " == *" $i "* ]] && state=On
    out+=$'\n'"Velto Innput$i: $state"
  done
  printf '%s' "$out"
}
worked_out=$(inputs_out 1 3)

# expect NAME EXIT STDOUT STDERR [EXTRA_PROBLEM]
expect() {
  local name=$1 exit=$2 out=$3 err=$4 extra=${5:-}
  if ! grep -aq "^VMT|case|$name|" <<<"$log"; then
    fail "$name" "no result from the guest"
    return
  fi
  local got_exit got_out got_err problems=()
  got_exit=$(field "$name" 4)
  got_out=$(lines "$name" out)
  got_err=$(lines "$name" err)
  [ "$got_exit" = "$exit" ] || problems+=("exit $got_exit, expected $exit")
  [ "$got_out" = "$out" ] || problems+=("standard output [${got_out//$'\n'/ / }], expected [${out//$'\n'/ / }]")
  [ "$got_err" = "$err" ] || problems+=("standard error [${got_err//$'\n'/ / }], expected [${err//$'\n'/ / }]")
  [ -z "$extra" ] || problems+=("$extra")
  if [ ${#problems[@]} -eq 0 ]; then
    pass "$name ($(field "$name" 5) ms)"
  else
    local IFS=';'
    fail "$name" "${problems[*]}"
  fi
}

# The instruction codes of the requests a simulator received, in order
# (the packet's seventh byte; the signature before it may vary).
codes() { tr -d '\r' <"$1" | awk '$1 == "RX" && $2 == "2A" { printf "%s ", $8 }'; }
expect_codes() {  # NAME LOG EXPECTED
  local got
  got=$(codes "$2")
  if [ "${got% }" = "$3" ]; then pass "$1"; else fail "$1" "got [${got% }], expected [$3]"; fi
}

# --- right after boot and later ----------------------------------------------
early_note=$(field entropy_early 6)
early_ms=$(field entropy_early 5)
late_ms=$(field entropy_late 5)
# Half the later run, at least 1 s: a first run after boot is a little slower
# on a loaded machine, while waiting for the pool cost seconds.
tolerance_ms=1000
[ -z "$late_ms" ] || [ $((late_ms / 2)) -le $tolerance_ms ] || tolerance_ms=$((late_ms / 2))
case "$early_note" in
  pool=not-ready) pool_problem= ;;
  pool=ready) pool_problem="the entropy pool was ready already at boot: nothing confirmed" ;;
  *) pool_problem="entropy probe said '$early_note'" ;;
esac
expect entropy_early 5 "$worked_out" "" "$pool_problem"
timing_problem=
[ "$(field entropy_late 6)" = pool=ready ] ||
  timing_problem="the entropy pool was not ready for the later run: nothing compared"
if [ -n "$early_ms" ] && [ -n "$late_ms" ] && [ "$early_ms" -gt $((late_ms + tolerance_ms)) ]; then
  timing_problem="right after boot it took $early_ms ms, later $late_ms ms (tolerance $tolerance_ms ms)"
fi
expect entropy_late 5 "$worked_out" "" "$timing_problem"

# --- the UART ------------------------------------------------------------------
for rate in 9600 19200 115200; do
  expect uart_$rate 5 "$worked_out" ""
done

expect_library() {  # NAME: the library's real-UART tests all passed
  local out problem=
  out=$(lines "$1" out)
  grep -qx '\[  PASSED  \] 5 tests\.' <<<"$out" || problem="not all 5 tests passed: ${out//$'\n'/ / }"
  if [ "$(field "$1" 4)" = 0 ] && [ -z "$problem" ]; then
    pass "$1 ($(field "$1" 5) ms)"
  else
    fail "$1" "exit $(field "$1" 4); $problem"
  fi
}
expect_library uart_library

expect uart_rate_refused 255 "Connection refused!" \
  "VeltoConsole: /dev/ttyS1: the line does not take bit rate"

held_problem=
[ "$(field uart_second_opener 6)" = first=held ] ||
  held_problem="the first run was not seen holding the line"
# The holder is named by its process id, which differs from run to run.
second_err=$(lines uart_second_opener err)
[[ $second_err =~ ^VeltoConsole:\ /dev/ttyS1\ is\ held\ by\ process\ [0-9]+\ \(VeltoConsole\)$ ]] ||
  second_err="VeltoConsole: /dev/ttyS1 is held by process N (VeltoConsole)"
expect uart_second_opener 255 "Connection refused!" "$second_err" "$held_problem"
expect uart_first_holder 5 "$worked_out" ""
expect uart_waiter 5 "$worked_out" "" "$held_problem"

# The line stays up, so nothing goes to standard error (as over TCP).
expect uart_silent 255 $'Connection established.\nCould not set Velto output 2!\nCould not read inputs from Velto!' ""

worked_codes="F3 20 30 31"
expect_codes uart_requests "$uart_log" \
  "$worked_codes $worked_codes $worked_codes $worked_codes F3 20 30 20 20 20 31 $worked_codes $worked_codes F3 20 30 23"

# --- three modules on one line ----------------------------------------------------
# Exactly the bus's modules, in address order, each with its own text.
expect bus_scan 3 "Connection established."$'\n#49\tVELTO ETH 8/4;V1.02.03;F97\n#55\tVELTO ETH 8/4;V1.07.00;F97\n#200\tVELTO ETH 8/4;V2.00.00;F97' ""
# The requests the bus received, in order, as ADDRESS:CODE.
bus_asked=$(tr -d '\r' <"$bus_log" | awk '$1 == "RX" && $2 == "2A" { printf "%s:%s\n", $6, $8 }')
# First the scan: every address from 0 to 253 asked once for its
# identification, in order.
scan_asked=$(head -n 254 <<<"$bus_asked" | tr '\n' ' ')
scan_expected=$(for a in $(seq 0 253); do printf '%02X:F3 ' "$a"; done)
if [ "$scan_asked" = "$scan_expected" ]; then
  pass bus_scan_requests
else
  fail bus_scan_requests "requests [${scan_asked% }]"
fi

# Three runs started together: each its own module's inputs (the bus starts
# inputs 1 and 3 on, module 7 input 2 alone, module 200 inputs 1 to 3).
expect bus_parallel_1 5 "$(inputs_out 1 3)" ""
expect bus_parallel_7 2 "$(inputs_out 2)" ""
expect bus_parallel_200 7 "$(inputs_out 1 2 3)" ""
# They took turns: one run's requests after the other's, never mixed, each
# module asked once for its identification and once for its inputs, in
# whichever order the runs had the line.
turns=$(tail -n +255 <<<"$bus_asked" | tr '\n' ' ')
turns_problem="requests after the scan [${turns% }]"
for first in 31 37 C8; do
  for second in 31 37 C8; do
    for third in 31 37 C8; do
      [ "$first" != "$second" ] && [ "$first" != "$third" ] && [ "$second" != "$third" ] || continue
      [ "$turns" = "$first:F3 $first:31 $second:F3 $second:31 $third:F3 $third:31 " ] && turns_problem=
    done
  done
done
if [ -z "$turns_problem" ]; then pass bus_parallel_turns; else fail bus_parallel_turns "$turns_problem"; fi

# --- the USB adapter -------------------------------------------------------------
usb_tty=$(field usb_found 6)
expect usb_found 0 "${usb_tty:-(none)}" ""
pulled_ms=$(field usb_pulled 5)
pulled_problem=
[ -z "$pulled_ms" ] || [ "$pulled_ms" -lt 10000 ] || pulled_problem="the run took $pulled_ms ms"
expect usb_pulled 255 $'Connection established.\nCould not set Velto output 3!\nCould not read inputs from Velto!' \
  "VeltoConsole: $(field usb_pulled 6): the device has gone (unplugged or hung up)" "$pulled_problem"
expect usb_9600 5 "$worked_out" ""
expect_library usb_library

# By serial number through the kernel's device, no D2XX library present.
pulled_ms=$(field usb_serial_pulled 5)
pulled_problem=
[ -z "$pulled_ms" ] || [ "$pulled_ms" -lt 10000 ] || pulled_problem="the run took $pulled_ms ms"
expect usb_serial_pulled 255 $'Connection established.\nCould not set Velto output 2!\nCould not read inputs from Velto!' \
  "VeltoConsole: USB adapter SIM123: $(field usb_serial_pulled 6): the device has gone (unplugged or hung up)" \
  "$pulled_problem"
usb_tty=$(field usb_serial_number 6)
expect usb_serial_number 5 "$worked_out" ""
d2xx="D2XX library not found (libftd2xx.so)"
expect usb_wrong_serial 255 "Connection refused!" \
  "VeltoConsole: USB adapter XYZ: $d2xx; no serial device with that USB serial number (found: Sim123 on $usb_tty)"
expect usb_wrong_interface 255 "Connection refused!" \
  "VeltoConsole: USB adapter SIM123: $d2xx; the adapter with that USB serial number has no serial device on interface 1 (found: interface 0 on $usb_tty)"
expect usb_not_permitted 255 "Connection refused!" \
  "VeltoConsole: USB adapter SIM123: $d2xx; $usb_tty: permission denied (add your user to the group that owns it, usually dialout)"
latency_problem() {  # NAME EXPECTED_NOTE
  local note
  note=$(field "$1" 6)
  [ "$note" = "$2" ] || echo "low-latency flag [$note], expected [$2]"
}
expect usb_low_latency 5 "$worked_out" "" \
  "$(latency_problem usb_low_latency "before=off during=on after=off")"
expect usb_low_latency_kept 5 "$worked_out" "" \
  "$(latency_problem usb_low_latency_kept "before=on during=on after=on")"

# The pulled runs' output commands are held back (never answered); the runs
# that name a wrong adapter, or may not open it, send nothing.
expect_codes usb_requests "$usb_log" \
  "F3 20 $worked_codes F3 20 30 23 $worked_codes $worked_codes $worked_codes"

grep -aq '^VMT|done' <<<"$log" || fail guest "the case list did not run to its end"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
