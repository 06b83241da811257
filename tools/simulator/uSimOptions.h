// Command line of the simulator program: every module setting and fault as a
// long option ("--name value" or "--name=value").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/uSimConfig.h"

struct TSimServerOptions {
  std::string Host = "127.0.0.1";
  int Port = 10001;  // 0: any free port
  bool Pty = false;
  bool Log = false;                 // every packet on standard error
  std::uint32_t AnswerDelayMs = 0;  // every answer held back this long
  std::uint32_t WireBaud = 0;       // > 0: bytes take their time on a line this fast
};

struct TSimOptions {
  TSimConfig Module;
  TSimServerOptions Server;
  bool StdinQuit = false;  // end of standard input or "quit" ends the program
  bool Help = false;
};

// Fills `options` from the arguments (program name not included). On a bad
// argument returns false with a one-line reason in `error`.
bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                     std::string& error);

// The --help text.
std::string SimUsage();

// A module address: one character stands for its code ("1" = 0x31), "#n" or a
// number of more than one character for that number (0..253).
bool ParseSimAddress(const std::string& text, std::uint8_t& address);
