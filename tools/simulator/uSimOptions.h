// Command line of the simulator program: every module setting and fault as a
// long option ("--name value" or "--name=value").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/uSimConfig.h"

// Modules one simulator carries at most (one per address of the list).
constexpr std::size_t kSimMaxModules = 254;

struct TSimServerOptions {
  std::string Host = "127.0.0.1";
  int Port = 10001;  // 0: any free port
  bool Pty = false;
  bool Log = false;                 // every packet on standard error
  std::uint32_t AnswerDelayMs = 0;  // every answer held back this long
  std::uint32_t WireBaud = 0;       // > 0: bytes take their time on a line this fast
};

// A module option meant for the module(s) at one address of the bus
// ("--inputs-on@7 1,3").
struct TSimModuleOption {
  std::uint8_t Address = 0;
  std::string Name;
  std::string Value;  // empty for a flag
};

struct TSimOptions {
  TSimConfig Module;                    // what every module starts from
  std::vector<std::uint8_t> Addresses;  // --address list, in order; empty: Module.Address alone
  std::vector<TSimModuleOption> PerModule;
  TSimServerOptions Server;
  bool StdinQuit = false;  // end of standard input or "quit" ends the program
  bool Help = false;
};

// Fills `options` from the arguments (program name not included). On a bad
// argument returns false with a one-line reason in `error`.
bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                     std::string& error);

// One configuration per module of the bus, in the order of the address list:
// the options for all, then those for its address, in command-line order.
std::vector<TSimConfig> SimModuleConfigs(const TSimOptions& options);

// The --help text.
std::string SimUsage();

// A module address: one character stands for its code ("1" = 0x31), "#n" or a
// number of more than one character for that number (0..253).
bool ParseSimAddress(const std::string& text, std::uint8_t& address);
