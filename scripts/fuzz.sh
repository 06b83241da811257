#!/usr/bin/env bash
# Builds the libFuzzer programs (CMake preset "fuzz": clang, ASan + UBSan)
# and runs every fuzz target, one after the other, for SECONDS each
# (default 60). New inputs a fuzzer finds go to build-fuzz/corpus/<target>;
# the seeds in fuzz/corpus/<target> are only read. An input that breaks a
# target is left in build-fuzz/artifacts/ and the script fails at the end;
# copy it into fuzz/corpus/<target> once the fault is fixed, so that the
# replay test keeps it fixed.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#   FUZZ_ARGS="-runs=10000000" scripts/fuzz.sh 1800 receive   # a long run
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(receive exchange decoders commandline connectionstring scan proclocks)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Longest input per target: the byte-stream targets hold floods of hundreds of KB.
declare -A max_len=([receive]=262144 [exchange]=262144 [decoders]=70000
                    [commandline]=4096 [connectionstring]=4096 [scan]=65536
                    [proclocks]=65536)
# A smaller quarantine leaves room under the RSS limit; UBSan stops at once.
export ASAN_OPTIONS="quarantine_size_mb=64:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p build-fuzz/artifacts
failed=()
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  echo "=== fuzz_$t: ${seconds} s ==="
  # shellcheck disable=SC2086 # FUZZ_ARGS holds several options
  if ! "build-fuzz/bin/fuzz_$t" "build-fuzz/corpus/$t" "fuzz/corpus/$t" \
      -dict="fuzz/$t.dict" -max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=2048 \
      -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/artifacts/$t-" ${FUZZ_ARGS:-}; then
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (inputs in build-fuzz/artifacts/)" >&2
  exit 1
fi
