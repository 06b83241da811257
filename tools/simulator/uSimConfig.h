// What a simulated I/O module is made of: its settings, its starting state and
// the faults it injects into its answers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "framework/uBytes.h"

// Key of a fault that applies to every instruction without a fault of its own.
constexpr int kSimAnyInstruction = -1;

// Faults for one instruction code.
struct TSimFault {
  // Requests dropped as if lost on the wire (no answer, nothing done):
  // 0 none, N the next N occurrences, -1 every one.
  int NoAnswer = 0;
  bool Garbage = false;       // garbage bytes in the same write, before the answer
  bool NotifyBefore = false;  // an input-change notification in the same write, before the answer
  int SplitDelayMs = -1;      // >= 0: the answer goes out one byte per write, this far apart
  bool WrongSig = false;      // the answer carries a signature other than the request's
  int RefuseAck = -1;         // >= 0: refused with this code, nothing done
  bool CloseOn = false;       // the connection is closed instead of answering
};

struct TSimConfig {
  std::uint8_t Address = 0x31;  // '1'
  // Identification text; empty: made from InterfaceWord, the counts and
  // ThermometerCount ("VELTO ETH 8/4;V1.02.03;F97").
  std::string Identification;
  std::string InterfaceWord = "ETH";
  int InputCount = 8;
  int OutputCount = 4;
  std::vector<bool> Inputs;    // starting states, index 0 = input 1; missing = off
  std::vector<bool> Outputs;   // starting states, index 0 = output 1; missing = off
  std::size_t StateBytes = 0;  // least number of bytes in a state answer or notification

  bool CountersSupported = true;
  int CounterWidth = 32;                // bits per counter value, 1..64
  std::vector<std::uint64_t> Counters;  // starting values, index 0 = counter 1

  double Temperature = 23.1;
  std::uint8_t TemperatureStatus = 0;
  int ThermometerCount = 0;  // > 0 adds "T<n>" to a made identification

  std::uint8_t OptionByte = 0;
  std::map<std::uint8_t, std::string> LabelsA;  // label records by index, up to 21 bytes
  std::map<std::uint8_t, std::string> LabelsB;

  std::uint8_t BaudCode = 6;  // 9600
  std::uint16_t FirstId = 0x1234;
  std::uint16_t SecondId = 0x5678;
  std::uint32_t ThirdValue = 0;  // last value of the read-values answer
  std::uint8_t ValueF1 = 0;
  std::string TextF2;
  bool FlagFE = false;

  bool Notify = false;  // input changes are announced with a notification

  // Faults.
  std::map<int, TSimFault> Faults;  // by instruction code or kSimAnyInstruction
  TBytes GarbageBytes = {0x41, 0x42, 0x43};
  int BadIdentCount = 0;  // identification answered with an unrecognised text: N times, -1 always
  std::string BadIdentText = "MODULE X;V0.0.0;F97";
  int CloseAfterAnswers = 0;  // > 0: the connection is closed after this many answers

  bool Log = false;  // keep a log of every packet received and sent
};

// The identification text the module answers with.
std::string SimIdentification(const TSimConfig& config);
