#!/usr/bin/env bash
# Writes cmake/startup-order.ld: the code sections that short console runs
# execute, which the link of VeltoConsole places together at the front of
# the program's code. A run then maps that code with a few page faults
# instead of touching a window in every part of the program (a fault costs
# microseconds, and a short run is about a millisecond).
#
# The runs, under callgrind: the worked example over loopback TCP and over a
# pseudo-terminal against the simulator, and `VeltoConsole /?`. A section
# that a renamed function leaves behind is simply not found, so a stale list
# costs speed, never a build; run this again after larger changes and see
# the page faults bench/floor_bench.sh prints.
#
#   scripts/startup-order.sh [--build DIR]     (needs valgrind)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/bench_lib.sh
. bench/bench_lib.sh

build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
  esac
done
bin=$build/bin
out=cmake/startup-order.ld
bench_need VeltoConsole VeltoSimulator
command -v valgrind >/dev/null || { echo "$0: valgrind is needed (apt-get install valgrind)" >&2; exit 2; }
bench_begin

# The program linked as the build links it, with a map of where each input
# section went.
link=$(cd "$build" && ninja -t commands bin/VeltoConsole | tail -n 1)
case "$link" in
  *" -o bin/VeltoConsole "*) ;;
  *) echo "$0: cannot read the console's link command in $build" >&2; exit 1 ;;
esac
# Without the present list: valgrind names only the functions in the
# section called .text, and the list must not depend on itself.
link=${link//-Wl,-T,$PWD\/cmake\/startup-order.ld/}
(cd "$build" && eval "${link/ -o bin\/VeltoConsole / -Wl,-Map=$scratch/console.map -o $scratch/VeltoConsole }")
console=$scratch/VeltoConsole

# One run under callgrind; $1 names it, $2 is the exit status it must end with.
profile() {
  local name=$1 expected=$2 status=0
  shift 2
  valgrind --tool=callgrind --callgrind-out-file="$scratch/cg.$name" --demangle=no \
    "$@" >/dev/null 2>"$scratch/valgrind.$name" || status=$?
  [ "$status" -eq "$expected" ] ||
    { echo "$0: the $name run ended with $status, not $expected" >&2; cat "$scratch/valgrind.$name" >&2; exit 1; }
}
example=(/Address=1 /Out3=On "/ErrorCode=In1,In2,In3")
bench_start_tcp_simulator --inputs-on 1,3
profile tcp 5 "$console" "/TCP=$host:$port" "${example[@]}"
bench_start_pty_simulator --inputs-on 1,3
VELTO_COM9=$pty profile pty 5 "$console" /COM=9:9600 "${example[@]}"
bench_stop_simulator
profile help 255 "$console" '/?'

# The functions of the program that each run ran (callgrind names an object
# or a function in full once, then by its number), and their addresses.
bit=1
for run in help tcp pty; do
  awk '
    match($0, /^c?(ob|fn)=\([0-9]+\)/) {
      kind = substr($0, 1, index($0, "=") - 1); id = substr($0, RSTART, RLENGTH)
      sub(/^[a-z]*=/, "", id); name = substr($0, RLENGTH + 2)
      key = (kind ~ /ob/ ? "ob" : "fn") id
      if (name != "") names[key] = name
      if (kind == "ob") object = names[key]
      if (kind == "fn" && object ~ /\/VeltoConsole$/) { fn = names[key]; sub(/'"'"'[0-9]+$/, "", fn); print fn }
    }' "$scratch/cg.$run" | sort -u >"$scratch/functions.$run"
  # Code without a symbol (the start files' own) comes as its address.
  grep '^0x' "$scratch/functions.$run" | sed "s/\$/ $bit/" || true
  nm --defined-only "$console" |
    awk -v bit=$bit 'NR == FNR { ran[$0] = 1; next } ($3 in ran) { print $1, bit }' "$scratch/functions.$run" -
  bit=$((bit * 2))
done >"$scratch/addresses"
# The entry point, which runs before valgrind names anything.
readelf -h "$console" | awk '/Entry point address/ { print $NF, 1; print $NF, 2; print $NF, 4 }' \
  >>"$scratch/addresses"

# The input section holding each address, with the runs that used it (1
# help, 2 TCP, 4 pseudo-terminal, added): a function and its aliases,
# thunks and clones each come with their own section.
awk '
  function hex(s,   i, c, v) { v = 0; s = tolower(s); sub(/^0x/, "", s)
    for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", substr(s, i, 1)) - 1; v = v * 16 + c }
    return v }
  FNR == 1 { file++ }
  file == 1 { address[++count] = hex($1); bit[count] = $2; next }
  /^Linker script and memory map/ { placed = 1 }
  !placed { next }
  /^ \.text/ { pending = $1; if (NF >= 4) { take($2, $3, $4) } ; next }
  pending != "" && /^ +0x/ { take($1, $2, $3) }
  { pending = "" }
  function take(start, size, from,   s, n, i, b, runs) {
    s = hex(start); n = hex(size)
    # Whole-library blocks (one section for a whole source) stay where
    # they are: moving them would move far more than a run uses.
    if (n > 0 && n <= 16384) {
      split("", b)
      for (i = 1; i <= count; i++)
        if (address[i] >= s && address[i] < s + n) b[bit[i]] = 1
      runs = (1 in b) + 2 * (2 in b) + 4 * (4 in b)
      if (runs > 0) print start, pending, from, runs
    }
    pending = ""
  }' "$scratch/addresses" "$scratch/console.map" >"$scratch/sections"

# Sections named for one function go by name; the others (".text" of a
# file without function sections, ".text.startup") name their file too.
{
  echo "/* Generated by scripts/startup-order.sh: the code short console runs"
  echo "   execute, placed together so that a run maps it with few page faults. */"
  echo "SECTIONS {"
  echo "  .text.startpath : {"
  # What every run needs in the middle, what only the help needs before it
  # and the devices' code after it, so that each run uses one stretch.
  awk 'BEGIN { split("1 7 3 5 6 2 4", order); for (i in order) rank[order[i]] = i }
       { print rank[$4], $0 }' "$scratch/sections" | sort -k1,1n -k2,2 | cut -d" " -f2- | awk '{
      line = "    *(" $2 ")"
      if ($2 ~ /^\.text(\.(startup|hot|unlikely|exit))?$/) {
        f = $3; sub(/.*\//, "", f); sub(/\(/, ":", f); sub(/\)$/, "", f)
        line = "    *" f "(" $2 ")"
      }
      if (!(line in seen)) { seen[line] = 1; print line }
    }'
  echo "  }"
  echo "} INSERT BEFORE .text;"
} >"$scratch/order.ld"
count=$(grep -c '^    \*' "$scratch/order.ld" || true)
[ "$count" -gt 0 ] || { echo "$0: the runs executed no section of the program; $out is kept" >&2; exit 1; }
mv "$scratch/order.ld" "$out"
echo "$out: $count sections from $(cat "$scratch"/functions.* | sort -u | wc -l) functions"
