# The case list of the test virtual machine, run by its /init (busybox sh)
# with the UART on /dev/ttyS1, a bus of three modules (addresses 1, 7 and
# 200) on /dev/ttyS2 and the USB serial adapter (serial number Sim123),
# joined to module simulators on the host.
#
# Every case prints one line "VMT|case|NAME|EXIT|MS|NOTE" on the console,
# then its standard output and error as "VMT|out|NAME|LINE" and
# "VMT|err|NAME|LINE". The host's checker (tests/vm/check.sh) judges them.
# "VMT|plug" asks the host to plug the adapter back in; the host pulls it
# out by itself when the held-back request reaches its simulator.

V=/velto/VeltoConsole
WORKED="/Address=1 /Out3=On /ErrorCode=In1,In2,In3"

now() { /velto/vmprobe ms; }

report() {  # NAME EXIT MS NOTE, with /tmp/out and /tmp/err
  echo "VMT|case|$1|$2|$3|$4"
  sed "s/^/VMT|out|$1|/" /tmp/out
  sed "s/^/VMT|err|$1|/" /tmp/err
}

run() {  # NAME NOTE COMMAND...: runs it under a hang guard and reports it
  name=$1 note=$2
  shift 2
  start=$(now)
  timeout 60 "$@" >/tmp/out 2>/tmp/err
  status=$?
  report "$name" "$status" $(($(now) - start)) "$note"
}

# The tty of the adapter with serial number Sim123: the serial attribute
# belongs to the USB device, the port's parent's parent.
usb_tty() {
  for t in /sys/class/tty/ttyUSB*; do
    [ -e "$t/device" ] || continue
    dev=$(readlink -f "$t/device/../..")
    if [ "$(cat "$dev/serial" 2>/dev/null)" = Sim123 ]; then
      echo "/dev/${t##*/}"
      return 0
    fi
  done
  return 1
}

until_bounded() {  # TENTHS COMMAND...: polls the command, at most TENTHS/10 s
  n=0
  while [ "$n" -lt "$1" ]; do
    "$2" >/dev/null 2>&1 && return 0
    n=$((n + 1))
    usleep 100000
  done
  return 1
}
no_usb_tty() { ! usb_tty; }

# --- right after boot: the entropy pool is most likely still filling -----
pool=$(/velto/vmprobe entropy)
run entropy_early "pool=$pool" $V /COM=2:9600 $WORKED

# --- the 16550 on ttyS1 ---------------------------------------------------
for rate in 9600 19200 115200; do
  run uart_$rate "" $V /COM=2:$rate $WORKED
done
run uart_library "" env VELTO_TEST_UART=/dev/ttyS1 /velto/test_transport \
  --gtest_filter='RealUartTest.*' --gtest_brief=1
run uart_rate_refused "" $V /COM=2:50000 $WORKED

# A second opener while a run holds the line: both ordinary users in the
# group that owns the node, as udev would set it up. The first run switches
# all four outputs, which holds the line for seven held-back answers.
chgrp dialout /dev/ttyS1 && chmod 0660 /dev/ttyS1
start=$(now)
timeout 60 su -s /bin/sh velto -c "exec $V /COM=2:9600 /Address=1 /Out1=On /Out2=On /Out3=On \
  /Out4=On /ErrorCode=In1,In2,In3" >/tmp/first.out 2>/tmp/first.err &
first=$!
holds() { ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q '/dev/ttyS1'; }
if until_bounded 100 holds; then held=held; else held=not-held; fi
# One run waits for the line (up to 30 s) and has it once the first is done;
# another does not wait at all and is refused.
wstart=$(now)
timeout 60 su -s /bin/sh velto -c "exec env VELTO_PORT_WAIT_MS=30000 $V /COM=2:9600 $WORKED" \
  >/tmp/waiter.out 2>/tmp/waiter.err &
waiter=$!
run uart_second_opener "first=$held" su -s /bin/sh velto -c \
  "exec env VELTO_PORT_WAIT_MS=0 $V /COM=2:9600 $WORKED"
wait $first
status=$?
cp /tmp/first.out /tmp/out
cp /tmp/first.err /tmp/err
report uart_first_holder "$status" $(($(now) - start)) ""
wait $waiter
status=$?
cp /tmp/waiter.out /tmp/out
cp /tmp/waiter.err /tmp/err
report uart_waiter "$status" $(($(now) - wstart)) "first=$held"

# The same run as right after boot, for the comparison, once the pool is
# ready (nothing in this machine fills it by itself: a blocking read makes
# the kernel gather timer jitter).
timeout 60 /velto/vmprobe wait >/dev/null
run entropy_late "pool=$(/velto/vmprobe entropy)" $V /COM=2:9600 $WORKED

# --- three modules on one line: the 16550 on ttyS2 ---------------------------
run bus_scan "" /velto/VeltoScan /COM=3:9600

# Three runs started together, one per module, as a scheduler would: they
# take turns on the line (the default wait) and each gives its own module's
# inputs. The bus sends each inputs answer a byte at a time, so a run may
# close while bytes are still on their way to the next one.
pstart=$(now)
for a in 1 7 200; do
  adr=$a
  [ "$a" = 200 ] && adr="#200"
  timeout 60 $V /COM=3:9600 /Address=$adr /ErrorCode=In1,In2,In3 \
    >/tmp/bus_$a.out 2>/tmp/bus_$a.err &
  eval "bus_pid_$a=$!"
done
for a in 1 7 200; do
  eval "wait \$bus_pid_$a"
  status=$?
  cp /tmp/bus_$a.out /tmp/out
  cp /tmp/bus_$a.err /tmp/err
  report bus_parallel_$a "$status" $(($(now) - pstart)) ""
done

# --- the USB serial adapter -------------------------------------------------
start=$(now)
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod /modules/$m.ko || echo "insmod $m failed" >>/tmp/insmod.err
done
until_bounded 300 usb_tty
tty=$(usb_tty)
echo "$tty" >/tmp/out
cp /tmp/insmod.err /tmp/err 2>/dev/null || : >/tmp/err
report usb_found "$([ -n "$tty" ] && echo 0 || echo 1)" $(($(now) - start)) "$tty"

# The simulator holds back its answer to the output command; the host pulls
# the adapter out meanwhile.
export VELTO_COM3="$tty"
run usb_pulled "$tty" $V /COM=3:9600 $WORKED

until_bounded 100 no_usb_tty
echo "VMT|plug"
until_bounded 300 usb_tty
tty=$(usb_tty)
export VELTO_COM3="$tty"
run usb_9600 "$tty" $V /COM=3:9600 $WORKED
# The adapter's driver cannot make 6 data bits.
run usb_library "$tty" env VELTO_TEST_UART="$tty" VELTO_TEST_UART_DATA_BITS=578 /velto/test_transport \
  --gtest_filter='RealUartTest.*' --gtest_brief=1

# --- the adapter chosen by its serial number ----------------------------------
# No D2XX library in this machine: the kernel's device is found in sysfs,
# the serial number's letter case ignored (the command line upper-cases it).
# First pulled out while its simulator holds back the timed output command.
run usb_serial_pulled "$tty" $V /USB=SIM123 /Address=1 /Out3=On /Out2=Off:5s /ErrorCode=In1,In2,In3
until_bounded 100 no_usb_tty
echo "VMT|plug"
until_bounded 300 usb_tty
tty=$(usb_tty)
run usb_serial_number "$tty" $V /USB=SIM123 $WORKED
run usb_wrong_serial "$tty" $V /USB=XYZ $WORKED
run usb_wrong_interface "$tty" $V /USB=SIM123:1 $WORKED
# The node as the kernel makes it, root's only: a user outside its group.
run usb_not_permitted "$tty" su -s /bin/sh guest -c "exec $V /USB=SIM123 $WORKED"

# The low-latency flag: set while a run holds the adapter (its module's
# inputs answer comes a byte at a time, so the run is mid-exchange), and as
# it was before once the run ends. The run is an ordinary user's, with the
# node set up as udev would: the flag is one such a user may set.
latency_run() {  # NAME: the worked example over /USB=SIM123, probed
  start=$(now)
  timeout 60 su -s /bin/sh velto -c "exec $V /USB=SIM123 $WORKED" >/tmp/held.out 2>/tmp/held.err &
  held_run=$!
  during=$(/velto/vmprobe latency-held "$tty" 20000)
  wait $held_run
  status=$?
  cp /tmp/held.out /tmp/out
  cp /tmp/held.err /tmp/err
  report "$1" "$status" $(($(now) - start)) \
    "before=$before during=$during after=$(/velto/vmprobe latency "$tty")"
}
chgrp dialout "$tty" && chmod 0660 "$tty"
before=$(/velto/vmprobe latency "$tty")
latency_run usb_low_latency
# Set by another program before the run: the run leaves it set.
before=$(/velto/vmprobe latency "$tty" on)
latency_run usb_low_latency_kept
/velto/vmprobe latency "$tty" off >/dev/null

# --- last on the UART: its module closes the connection at the timed output
# command and answers nothing more.
run uart_silent "" $V /COM=2:9600 /Address=1 /Out3=On /Out2=Off:5s /ErrorCode=In1,In2,In3
