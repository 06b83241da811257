#include "uFuzzTargets.h"

const std::vector<TFuzzTarget>& FuzzTargets() {
  static const std::vector<TFuzzTarget> targets{
      {"receive", &FuzzReceive},
      {"exchange", &FuzzExchange},
      {"decoders", &FuzzDecoders},
      {"commandline", &FuzzCommandLine},
      {"connectionstring", &FuzzConnectionString},
      {"scan", &FuzzScan},
  };
  return targets;
}
