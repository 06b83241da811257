#!/usr/bin/env bash
# Cross build for an ARM board, tested here under user-mode emulation:
#   scripts/cross.sh arm64    64-bit ARM (Debian arm64)
#   scripts/cross.sh armhf    32-bit ARMv7 with hard float (Debian armhf)
# Installs Debian's cross toolchain, the target's development packages
# (multiarch, beside the machine's own) and the emulator; configures and
# builds build-ARCH/ (preset ARCH: everything but the sanitizer and fuzz
# builds); runs the whole test suite with every test program, and every
# program a test starts, under the emulator; then packages and checks the
# packages (scripts/package-test.sh: names, architecture, lintian, and the
# packaged programs run under the emulator, the worked example included).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "usage: scripts/cross.sh arm64|armhf" >&2; exit 2 ;;
esac
build=build-$arch
start=$SECONDS
step() { echo "=== ${arch}: $* (at $((SECONDS - start)) s)"; }

step "packages"
scripts/install-deps.sh
packages=(crossbuild-essential-"$arch" qemu-user
          libgtest-dev:"$arch" libgmock-dev:"$arch" libbenchmark-dev:"$arch"
          libpugixml-dev:"$arch" uuid-dev:"$arch" libstdc++6:"$arch")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run: sudo dpkg --add-architecture $arch && sudo apt-get update &&" \
         "sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ -e "/usr/lib/$triplet/libstdc++.so.6" ] || { echo "the $arch C++ runtime is missing: /usr/lib/$triplet" >&2; exit 1; }

step "configure ${build}"
cmake --preset "$arch" >/dev/null
step "build"
cmake --build --preset "$arch" -j "$(nproc)"
step "test suite under emulation"
ctest --preset "$arch" -j "$(nproc)" | tee "$build/ctest.log"
summary=$(grep -E 'tests passed' "$build/ctest.log" | tail -n 1)
step "package test"
scripts/package-test.sh "$build"
step "packages"
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB) >/dev/null
for deb in "$build"/packages/*.deb; do
  echo "$deb: $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version) $(dpkg-deb -f "$deb" Architecture)"
done
step "done: ${summary}"
