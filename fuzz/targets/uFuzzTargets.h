// The fuzz targets. Each takes the fuzzer's bytes, drives one part of the
// system with them, aborts when a property does not hold, and returns 0.
// The fuzzer programs call one each; the corpus replay test calls them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Received bytes in chunks into a stack with two devices.
int FuzzReceive(const std::uint8_t* data, std::size_t size);
// Waiting exchanges of a device whose arriving bytes come from the fuzzer.
int FuzzExchange(const std::uint8_t* data, std::size_t size);
// The identification text and the device's answer decoders.
int FuzzDecoders(const std::uint8_t* data, std::size_t size);
// An argument vector through the command-line parser and the provider factory.
int FuzzCommandLine(const std::uint8_t* data, std::size_t size);
// Connection strings of every registered transport, written and read back.
int FuzzConnectionString(const std::uint8_t* data, std::size_t size);
// The bus scan's command line, and its sorting of what comes back.
int FuzzScan(const std::uint8_t* data, std::size_t size);

using TFuzzEntry = int (*)(const std::uint8_t* data, std::size_t size);

struct TFuzzTarget {
  const char* Name;  // also the folder of its seed corpus and its dictionary's name
  TFuzzEntry Entry;
};

const std::vector<TFuzzTarget>& FuzzTargets();
