#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. As root it runs
# apt-get itself; otherwise it prints the command to run and stops.
set -euo pipefail
packages=(build-essential g++ clang-14 clang libclang-rt-14-dev cmake ninja-build pkg-config
          libgtest-dev libgmock-dev googletest libbenchmark-dev libpugixml-dev uuid-dev
          socat dpkg-dev file lintian groff-base man-db stress-ng)
packages+=(strace)  # bench/wait_syscall_bench.sh
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
