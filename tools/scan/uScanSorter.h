// Sorts what comes back during a bus scan: the answer of the address being
// asked, late answers of addresses asked before, echoes of the requests,
// notifications, and garbled bytes. Pure data handling: no I/O, no time.
//
// An answer counts only for the request it answers: its address and its
// signature must be those of that request (each request of a scan carries a
// signature of its own), so an answer that comes late is credited to the
// address that gave it, never to the one being asked when it arrives. A
// copy of an answer already counted changes nothing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "framework/uBytes.h"
#include "protocol/uTervanFramer.h"

struct TScanFinding {
  enum class TKind { Module, Collision };
  TKind Kind = TKind::Module;
  std::uint8_t Ack = 0;  // a module's acknowledge code (0: it gave its identification)
  TBytes Identification;
};

class TScanSorter {
 public:
  TScanSorter();

  // The request to `adr` with signature `sig` is about to go out.
  void Begin(std::uint8_t adr, std::uint8_t sig);
  // Bytes received. True once the address being asked has answered.
  bool Feed(const TBytes& bytes);
  // Bytes of a frame that is not whole yet are held: an answer may be under way.
  bool Receiving() const { return FFramer.Size() != 0; }
  // The wait for the address being asked is over. Garbled bytes in its turn
  // (or a frame left unfinished) with no answer make it a collision.
  void End();

  // By address, in address order.
  const std::map<std::uint8_t, TScanFinding>& Findings() const { return FFindings; }
  std::size_t ModuleCount() const;

 private:
  void TakePacket(const std::uint8_t* bytes, std::size_t size);

  TTervanFramer FFramer;
  std::map<std::uint8_t, std::uint8_t> FAsked;  // signature -> address, of every request sent
  std::map<std::uint8_t, TScanFinding> FFindings;
  std::optional<std::uint8_t> FCurrent;
  bool FCurrentAnswered = false;
  bool FGarbled = false;
};
