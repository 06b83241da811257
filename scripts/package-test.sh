#!/usr/bin/env bash
# Install, package and embed, checked on a finished build of the default
# preset (build/, or the folder given): the project installed into a
# temporary prefix, where the headers must be the public set
# (cmake/VeltoPublicHeaders.txt, no private header among them) and each must
# compile on its own, twice included; the example built against its CMake package; the
# Debian packages built, checked by name and version, extracted into a
# scratch root where the installed VeltoConsole prints its help and the
# manual pages pass groff and man; the example built once more with
# pkg-config against the extracted library; both example builds run against
# the extracted simulator; lintian on both packages.
set -euo pipefail
export LC_ALL=C  # one collation for sort and comm
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/CPackConfig.cmake" ] || { echo "$build is not a configured build folder" >&2; exit 2; }

scratch=$(mktemp -d /tmp/velto-package-XXXXXX)
sim=""
cleanup() {
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
step() { echo "--- $*"; }
fail() { echo "package test: $*" >&2; exit 1; }

step "cmake --install into a temporary prefix"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null

step "installed headers: the public set only, each complete on its own"
public=$(sed -n '/^[^#].*\.h$/p' cmake/VeltoPublicHeaders.txt | sort)
installed=$(cd "$scratch/prefix/include/velto" && find . -type f | sed 's|^\./||' | sort)
private=$(cd src && find . -name '*.h' -not -path './app/*' | sed 's|^\./||' | sort |
  comm -23 - <(echo "$public"))
leaked=$(comm -12 <(echo "$installed") <(echo "$private"))
[ -z "$leaked" ] || fail "private headers were installed:"$'\n'"$leaked"
[ "$installed" = "$public" ] ||
  fail "the installed headers are not the public set:"$'\n'"$(diff <(echo "$public") <(echo "$installed"))"
mkdir -p "$scratch/headers"
while read -r header; do
  unit=$scratch/headers/$(echo "$header" | tr '/.' '__').cpp
  printf '#include "%s"\n#include "%s"\n' "$header" "$header" >"$unit"
  echo "$unit"
done <<<"$public" | xargs -P 2 -I{} "${CXX:-g++}" -std=c++20 -Wall -Wextra -Wpedantic -Werror \
  -fsyntax-only -I"$scratch/prefix/include/velto" {} ||
  fail "an installed header does not compile on its own (above)"

step "example built against the installed CMake package"
cmake -S examples/velto-inputs -B "$scratch/example-cmake" -G Ninja \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$scratch/example-cmake" >/dev/null

step "Debian packages"
(cd "$build" && cpack -G DEB -B "$scratch/packages") >/dev/null
console_deb=$(find "$scratch/packages" -maxdepth 1 -name 'velto-console_*.deb')
dev_deb=$(find "$scratch/packages" -maxdepth 1 -name 'libvelto-dev_*.deb')
[ -n "$console_deb" ] && [ -n "$dev_deb" ] || fail "cpack made no velto-console or libvelto-dev package"
version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
arch=$(dpkg --print-architecture)
for deb in "$console_deb" "$dev_deb"; do
  package=$(dpkg-deb -f "$deb" Package)
  [ "$(basename "$deb")" = "${package}_${version}_${arch}.deb" ] ||
    fail "$(basename "$deb") is not named ${package}_${version}_${arch}.deb (version from the changelog)"
done

step "packages extracted into a scratch root"
root=$scratch/root
dpkg-deb -x "$console_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"
set +e
help=$("$root/usr/bin/VeltoConsole" /?)
code=$?
set -e
[ "$code" -eq 255 ] || fail "the installed 'VeltoConsole /?' exited with $code, not 255"
grep -q '/ErrorCode=In' <<<"$help" || fail "the installed 'VeltoConsole /?' printed no help"
pages=("$root"/usr/share/man/man1/{VeltoConsole,VeltoSimulator,TervanMonitor,VeltoScan}.1.gz)
scripts/check-man-pages.sh "${pages[@]}"

step "example built with pkg-config against the extracted library"
pc_dir=$(dirname "$(find "$root/usr/lib" -name velto.pc)")
# shellcheck disable=SC2046  # the flags are words
"${CXX:-g++}" -std=c++20 -Wall -Wextra -Wpedantic -Werror -o "$scratch/example-pkg-config" \
  examples/velto-inputs/VeltoInputs.cpp $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs velto)

step "both example builds against the extracted simulator"
"$root/usr/bin/VeltoSimulator" --port 0 --inputs-on 1,3 </dev/null >"$scratch/sim.out" 2>&1 &
sim=$!
endpoint=""
for _ in $(seq 200); do
  endpoint=$(sed -n 's/^Listening on //p' "$scratch/sim.out" | head -n 1)
  [ -n "$endpoint" ] && break
  sleep 0.05
done
[ -n "$endpoint" ] || fail "the simulator did not start: $(cat "$scratch/sim.out")"
connection="provider=TCP_CLIENT;host=${endpoint%:*};port=${endpoint##*:}"
expected=$'Input 1: on\nInput 2: off\nInput 3: on'
for example in "$scratch/example-cmake/velto-inputs" "$scratch/example-pkg-config"; do
  output=$("$example" "$connection" 49) || fail "$example ended with $?"
  [ "$(grep '^Input [123]:' <<<"$output")" = "$expected" ] ||
    fail "$example printed something else than inputs 1 and 3 on:"$'\n'"$output"
done

step "lintian"
lintian --fail-on error "$console_deb" "$dev_deb"
echo "package test passed"
