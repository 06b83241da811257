// Embeds the VELTO library: connects to a module through a connection string,
// identifies it and prints the states of its inputs.
//
//   velto-inputs CONNECTION-STRING [ADDRESS]
//   velto-inputs "provider=TCP_CLIENT;host=127.0.0.1;port=10001" 49
//
// ADDRESS is the module's bus address as a number (default 254: any module).
// Exit status: 0 inputs printed, 1 no connection or no answer, 2 bad usage.
#include <cstdint>
#include <exception>
#include <iostream>
#include <string>

#include "device/ussVelto.h"
#include "framework/uStrUtils.h"
#include "protocol/uTervanStack.h"
#include "transport/uConnectionString.h"
#include "transport/uTransports.h"

namespace {

// Takes the device, stack and transport apart again on every way out: they
// hold each other through the owner tree.
struct TConnection {
  TIntf<ICommunicationInterface> Transport;
  TIntf<ITervanStack> Stack;
  TIntf<IVelto> Device;

  ~TConnection() {
    if (Device) Device->SetStack(nullptr);
    if (Stack) Stack->SetTransport(nullptr);
  }
};

int Run(const std::string& connectionString, std::uint8_t address) {
  TConnection c;
  if (!CreateTransport(connectionString, c.Transport)) {
    std::cerr << "velto-inputs: no transport for '" << connectionString << "'\n";
    return 1;
  }
  c.Stack = Make<TTervanStack>();
  c.Device = Make<TVelto>(address);
  c.Stack->SetTransport(c.Transport);
  c.Device->SetStack(c.Stack);

  if (!c.Transport->Open()) {
    const std::string reason = c.Transport->GetLastError();
    std::cerr << "velto-inputs: " << (reason.empty() ? "no connection to the module" : reason)
              << "\n";
    return 1;
  }
  TVeltoInfo info;
  if (!c.Device->GetInfo(info)) {
    std::cerr << "velto-inputs: the module did not identify itself\n";
    return 1;
  }
  std::cout << "Module: " << info.Identification.Name << ", " << info.InputCount << " inputs, "
            << info.OutputCount << " outputs\n";
  TVeltoIOArray states;
  if (!c.Device->ReadInputs(states, true)) {
    std::cerr << "velto-inputs: the inputs were not read\n";
    return 1;
  }
  for (std::size_t i = 0; i < states.size() && i < static_cast<std::size_t>(info.InputCount); ++i)
    std::cout << "Input " << i + 1 << ": " << (states[i] ? "on" : "off") << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t address = 0xFE;
  if (argc < 2 || argc > 3 ||
      (argc == 3 && (!TryParseInt(argv[2], address) || address < 0 || address > 255))) {
    std::cerr << "usage: velto-inputs CONNECTION-STRING [ADDRESS 0..255]\n";
    return 2;
  }
  // The library's transports register themselves with the provider factory.
  InitTransports(argc, argv);
  int code = 1;
  try {
    code = Run(argv[1], static_cast<std::uint8_t>(address));
  } catch (const std::exception& e) {
    std::cerr << "velto-inputs: " << e.what() << "\n";
  }
  DoneTransports();
  return code;
}
