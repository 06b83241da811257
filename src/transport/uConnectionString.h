// Connection strings ("provider=TCP_CLIENT;host=...;port=...") and the
// provider factory that makes a transport from one.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/uci_ICommunicationInterface.h"

// A transport class: makes a transport configured from a connection string.
// Errors of the transport's setter (a value it cannot convert) propagate.
using TTransportClass = TIntf<ICommunicationInterface> (*)(const std::string& connectionString);

// One name=value piece; a piece without "=" has an empty name.
struct TConnectionPair {
  std::string Name;
  std::string Value;
  bool HasName = false;
};

// The factory's form of a connection string: carriage returns, line feeds
// and spaces deleted, then every ";" replaced by a carriage return.
std::string NormalizeConnectionString(std::string_view text);

// The pieces of a connection string, separated by ";", carriage returns or
// line feeds; empty pieces are skipped. The name is the text before the
// first "=", the value everything after it. Blanks around either are trimmed.
std::vector<TConnectionPair> ParseConnectionString(std::string_view text);

// Value of the first pair named `key` (letter case ignored); false when absent.
bool FindConnectionValue(std::string_view text, std::string_view key, std::string& value);

struct TProviderEntry {
  std::string Name;
  TTransportClass TransportClass = nullptr;
};

// Registered providers in registration order.
std::vector<TProviderEntry> ProviderRegistry();

// Appends an entry (duplicates allowed; a lookup finds the first); true.
bool RegisterProvider(TTransportClass transportClass, const std::string& name);
// Removes the first entry of that class; false when there is none.
bool UnregisterProvider(TTransportClass transportClass);
// The class registered first under `name` (letter case ignored).
bool FindProvider(const std::string& name, TTransportClass& transportClass);

// Makes a transport from the "provider" pair of the text (the first one
// counts). False, with `transport` untouched, when there is no such pair,
// its value is empty or not registered. The transport is not opened.
bool CreateTransport(const std::string& connectionString,
                     TIntf<ICommunicationInterface>& transport);
