#!/usr/bin/env bash
# Runs the console program and the serial transport against the kernel's
# real drivers: a small virtual machine (software emulation) with a 16550
# UART on ttyS1, a second one on ttyS2 and a USB serial adapter (serial
# number Sim123), each joined to a module simulator on a loopback port (the
# one on ttyS2 a bus of three modules). The guest runs tests/vm/cases.sh;
# tests/vm/check.sh judges the results on the host and prints
# "N passed, M failed" last. Exits 0 only when every case passed.
#
# Usage: scripts/vm-test.sh [BUILD_DIR]   (without BUILD_DIR: builds build/)
# VM_TEST_LIMIT: seconds after which the machine is killed (default 240).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
limit=${VM_TEST_LIMIT:-240}

die() { echo "vm-test: $*" >&2; exit 1; }

# --- what it needs ---------------------------------------------------------------
packages=(qemu-system-x86 busybox-static socat gzip cpio binutils gcc libc6-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || die "missing packages: ${missing[*]} (run as root, or install them)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    die "could not install ${missing[*]}"
fi
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 not found"

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd) || die "no build directory $1"
else
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target VeltoConsole VeltoSimulator VeltoScan test_transport
  build=$src/build
fi
for program in VeltoConsole VeltoSimulator VeltoScan test_transport; do
  [ -x "$build/bin/$program" ] || die "$build/bin/$program is missing (build it first)"
done

# --- the kernel: Debian's package, unpacked (not installed), cached ---------------
cache=$build/vm
mkdir -p "$cache"
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq && kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || die "no kernel package: apt-cache knows no linux-image-amd64 (run apt-get update)"
kdir=$cache/$kpkg
# Only the kernel image and the USB modules the case list loads are kept.
modules=(drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/host/xhci-hcd
         drivers/usb/host/xhci-pci drivers/usb/serial/usbserial drivers/usb/serial/ftdi_sio)
if [ ! -f "$kdir/vmlinuz" ]; then
  rm -rf "$kdir.tmp" "$kdir.new" && mkdir -p "$kdir.tmp" "$kdir.new"
  (cd "$kdir.tmp" && apt-get download "$kpkg" >/dev/null 2>&1) || die "could not download $kpkg"
  dpkg -x "$kdir.tmp"/*.deb "$kdir.tmp/root" || die "could not unpack $kpkg"
  cp "$kdir.tmp"/root/boot/vmlinuz-* "$kdir.new/vmlinuz" || die "$kpkg holds no kernel image"
  for m in "${modules[@]}"; do
    cp "$kdir.tmp"/root/lib/modules/*/kernel/"$m".ko "$kdir.new/" || die "$kpkg has no module $m"
  done
  rm -rf "$kdir" && mv "$kdir.new" "$kdir" && rm -rf "$kdir.tmp"
fi

# --- the initramfs ---------------------------------------------------------------
work=$(mktemp -d /tmp/velto-vm.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,velto,modules}
cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
cc -static -O2 -o "$root/velto/vmprobe" tests/vm/vmprobe.c
cp "$build/bin/VeltoConsole" "$build/bin/VeltoScan" "$root/velto/"
strip -o "$root/velto/test_transport" "$build/bin/test_transport"
for file in "$root/velto/VeltoConsole" "$root/velto/VeltoScan" "$root/velto/test_transport"; do
  for lib in $(ldd "$file" | awk '/=> \// { print $3 } /^\t\// { print $1 }'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -nL "$lib" "$root$lib"
  done
done
for m in "${modules[@]}"; do cp "$kdir/${m##*/}.ko" "$root/modules/"; done
printf 'root:x:0:0::/:/bin/sh\nvelto:x:1000:1000::/tmp:/bin/sh\nguest:x:1001:1001::/tmp:/bin/sh\n' \
  >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:velto\nvelto:x:1000:\nguest:x:1001:\n' >"$root/etc/group"
cp tests/vm/cases.sh "$root/cases.sh"
cat >"$root/init" <<'EOF'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
dmesg -n 1
export PATH=/bin
echo "VMT|boot"
sh /cases.sh
echo "VMT|done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"

# --- the module simulators, listening before the machine starts -------------------
start_simulator() {  # NAME ARGS...: starts it, sets port_NAME
  local name=$1
  shift
  "$build/bin/VeltoSimulator" --host 127.0.0.1 --port 0 --log --inputs-on 1,3 "$@" \
    >"$work/$name.out" 2>"$work/$name.log" </dev/null &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^Listening on' "$work/$name.out" 2>/dev/null && break
    sleep 0.1
  done
  local port
  port=$(sed -n 's/^Listening on .*:\([0-9]*\)$/\1/p' "$work/$name.out")
  [ -n "$port" ] || die "the $name simulator did not start: $(cat "$work/$name.log")"
  printf -v "port_$name" '%s' "$port"
}
# Answers held back 400 ms, so that a run holds the UART long enough for a
# second opener to start; the timed output command (0x23) closes the connection: the
# module goes silent mid-run.
start_simulator uart --answer-delay 400 --close-on 0x23
# The first output command (0x20), and later the first timed one (0x23), go
# unanswered while the adapter is pulled; the inputs answer (0x31) comes a
# byte at a time, so that a run is seen mid-exchange.
start_simulator usb --no-answer 0x20:1 --no-answer 0x23:1 --split 0x31:30
# Three modules on one line, each with its own inputs and identification;
# the inputs answer (0x31) comes a byte at a time, 40 ms apart.
start_simulator bus --address 1,7,200 --inputs-on@7 2 --inputs-on@200 1,2,3 \
  --ident@7 "VELTO ETH 8/4;V1.07.00;F97" --ident@200 "VELTO ETH 8/4;V2.00.00;F97" \
  --split 0x31:40

monitor() {  # sends one command to the machine's monitor
  printf '%s\n' "$1" | socat -t 2 - "UNIX-CONNECT:$work/monitor.sock" >>"$work/monitor.log" 2>&1
}

# --- the machine ------------------------------------------------------------------
: >"$work/console.log"
began=$(date +%s)
timeout -s KILL "$limit" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -no-user-config \
  -display none -no-reboot -kernel "$kdir/vmlinuz" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1" \
  -serial "file:$work/console.log" \
  -chardev "socket,id=u,host=127.0.0.1,port=$port_uart" -serial chardev:u \
  -chardev "socket,id=b,host=127.0.0.1,port=$port_bus" -serial chardev:b \
  -device qemu-xhci \
  -chardev "socket,id=a,host=127.0.0.1,port=$port_usb" \
  -device usb-serial,id=adapter,chardev=a,serial=Sim123 \
  -monitor "unix:$work/monitor.sock,server,nowait" >"$work/qemu.log" 2>&1 &
qemu=$!

# The adapter is pulled out when a held-back request reaches its simulator
# and plugged back in when the guest asks: once for each of the two codes.
requested() {  # CODE: whether the adapter's simulator received it
  awk -v code="$1" '$1 == "RX" && $2 == "2A" && $8 == code { found = 1 } END { exit !found }' "$work/usb.log"
}
plugs_asked() { grep -ac 'VMT|plug' "$work/console.log" || true; }
pulls=(20 23)
pulled=0 plugged=0
while kill -0 "$qemu" 2>/dev/null; do
  if [ $pulled -eq $plugged ] && [ $pulled -lt ${#pulls[@]} ] && requested "${pulls[$pulled]}"; then
    monitor "device_del adapter"
    pulled=$((pulled + 1))
  elif [ $plugged -lt $pulled ] && [ "$(plugs_asked)" -gt $plugged ]; then
    monitor "device_add usb-serial,id=adapter,chardev=a,serial=Sim123"
    plugged=$((plugged + 1))
  fi
  sleep 0.1
done
wait "$qemu" && qemu_status=0 || qemu_status=$?
took=$(($(date +%s) - began))

[ "$qemu_status" -ne 137 ] || echo "vm-test: the machine was killed at the limit of $limit s" >&2
if ! grep -aq 'VMT|boot' "$work/console.log"; then
  echo "vm-test: the machine did not boot (qemu status $qemu_status):" >&2
  tail -n 20 "$work/qemu.log" "$work/console.log" >&2 || true
  echo "0 passed, 1 failed"
  exit 1
fi
echo "machine: boot and cases took $took s (limit $limit s)"
if [ -n "${VM_TEST_KEEP:-}" ]; then
  mkdir -p "$VM_TEST_KEEP" && cp "$work"/*.log "$VM_TEST_KEEP"/
fi
bash tests/vm/check.sh "$work/console.log" "$work/uart.log" "$work/usb.log" "$work/bus.log"
