// The entry point of one fuzzer program; VELTO_FUZZ_TARGET names its target.
#include <cstddef>
#include <cstdint>

#include "targets/uFuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return VELTO_FUZZ_TARGET(data, size);
}
