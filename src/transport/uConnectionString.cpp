#include "transport/uConnectionString.h"

#include <mutex>

#include "framework/uStrUtils.h"

namespace {

// Changed only while the program starts and ends; the lock keeps a test or
// an embedding program that registers from several threads safe anyway.
std::mutex gRegistryLock;
std::vector<TProviderEntry>& Registry() {
  static std::vector<TProviderEntry> registry;
  return registry;
}

void AddPiece(std::string_view piece, std::vector<TConnectionPair>& pairs) {
  if (TrimControl(piece).empty()) return;
  TConnectionPair pair;
  std::size_t eq = piece.find('=');
  if (eq == std::string_view::npos) {
    pair.Value = TrimControl(piece);
  } else {
    pair.Name = TrimControl(piece.substr(0, eq));
    pair.Value = TrimControl(piece.substr(eq + 1));
    pair.HasName = true;
  }
  pairs.push_back(std::move(pair));
}

}  // namespace

std::string NormalizeConnectionString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ') continue;
    result.push_back(c == ';' ? '\r' : c);
  }
  return result;
}

std::vector<TConnectionPair> ParseConnectionString(std::string_view text) {
  std::vector<TConnectionPair> pairs;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ';' || text[i] == '\r' || text[i] == '\n') {
      AddPiece(text.substr(start, i - start), pairs);
      start = i + 1;
    }
  }
  return pairs;
}

bool FindConnectionValue(std::string_view text, std::string_view key, std::string& value) {
  for (const TConnectionPair& pair : ParseConnectionString(text)) {
    if (pair.HasName && SameText(pair.Name, key)) {
      value = pair.Value;
      return true;
    }
  }
  return false;
}

std::vector<TProviderEntry> ProviderRegistry() {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  return Registry();
}

bool RegisterProvider(TTransportClass transportClass, const std::string& name) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  Registry().push_back(TProviderEntry{name, transportClass});
  return true;
}

bool UnregisterProvider(TTransportClass transportClass) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  auto& registry = Registry();
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    if (it->TransportClass == transportClass) {
      registry.erase(it);
      return true;
    }
  }
  return false;
}

bool FindProvider(const std::string& name, TTransportClass& transportClass) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (const TProviderEntry& entry : Registry()) {
    if (SameText(entry.Name, name)) {
      transportClass = entry.TransportClass;
      return true;
    }
  }
  return false;
}

bool CreateTransport(const std::string& connectionString,
                     TIntf<ICommunicationInterface>& transport) {
  std::string lines = NormalizeConnectionString(connectionString);
  std::string provider;
  FindConnectionValue(lines, "provider", provider);
  if (provider.empty()) return false;
  TTransportClass transportClass = nullptr;
  if (!FindProvider(provider, transportClass) || transportClass == nullptr) return false;
  TIntf<ICommunicationInterface> made = transportClass(lines);
  if (!made) return false;
  transport = std::move(made);
  return true;
}
