// Commands the simulator program reads on its standard input while it runs.
#pragma once

#include <string>
#include <string_view>

#include "simulator/uModuleSimulator.h"
#include "simulator/uSimBus.h"

enum class TSimCommandResult { Done, Quit, Error };

// Carries out one line ("in 3 on", "temp 23.1", "notify off", "counter 2 10",
// "quit"); blank lines and lines starting with "#" do nothing. On Error,
// `error` says why.
TSimCommandResult ApplySimCommand(const std::string& line, TModuleSimulator& module,
                                  std::string& error);

// The same for the modules of a bus: a line "@A COMMAND" (A as in --address)
// is for the module(s) at address A alone, any other line for every module.
TSimCommandResult ApplySimBusCommand(const std::string& line, TSimBus& bus, std::string& error);

// `text` as an error message may echo it: its first 40 characters, bytes that
// are not printable as '.', and "..." when it was cut.
std::string SimEcho(std::string_view text);
