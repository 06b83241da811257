// Several simulated modules on one line, as the carrier sees them: every
// request reaches every module and only those it addresses act on it. When
// more than one of them answers (the universal address, or modules that
// share an address) their answers collide: what goes out is one frame that
// is never a valid packet. A broadcast is acted on by all and answered by
// none (each module already stays silent on it). With a single module the
// bus passes everything straight through, so that module behaves exactly as
// on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "protocol/uTervanFramer.h"
#include "simulator/uModuleSimulator.h"

class TSimBus {
 public:
  // One module per configuration, in this order; at least one.
  explicit TSimBus(const std::vector<TSimConfig>& configs);
  // A line with one module that the caller owns and keeps alive.
  explicit TSimBus(TModuleSimulator& module);

  TSimBus(const TSimBus&) = delete;
  TSimBus& operator=(const TSimBus&) = delete;

  std::size_t Size() const { return FModules.size(); }
  TModuleSimulator& Module(std::size_t index) { return *FModules.at(index); }

  // The module interface the carrier drives (see TModuleSimulator).
  void OpenChannel(int channel);
  void CloseChannel(int channel);
  void Receive(int channel, const TBytes& bytes, std::uint32_t nowMs);
  void Tick(std::uint32_t nowMs);
  std::optional<std::uint32_t> NextDeadline() const;
  std::vector<TSimWrite> TakeWrites();
  void SetOnWrites(const std::function<void()>& onWrites);
  std::vector<TSimLogEntry> TakeLog();

  // What the line carries when several answers go out at once: each byte the
  // OR of the answers' bytes at that place, as long as the longest, framed as
  // one packet of that size whose checksum is spoiled, so that no receiver
  // can take it for an answer.
  static TBytes Collide(const std::vector<TBytes>& answers);

 private:
  static constexpr std::size_t kRxLimit = 0x20000;
  static constexpr std::size_t kRxKeep = 0x10004;

  void HandleUnitLocked(int channel, const TBytes& unit, std::uint32_t now);
  // Moves the modules' log entries to the bus log, those of the bytes
  // received left out (the bus logs each received packet once).
  void PullLogsLocked();

  std::vector<std::unique_ptr<TModuleSimulator>> FOwned;
  std::vector<TModuleSimulator*> FModules;
  mutable std::mutex FLock;
  std::map<int, TTervanFramer> FChannels;
  std::vector<TSimWrite> FWrites;
  std::vector<TSimLogEntry> FLog;
  bool FLogOn = false;
};
