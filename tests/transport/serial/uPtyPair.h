// A pseudo-terminal for the serial tests: the test plays the far end on the
// master side; the port under test opens the slave as COM<n> through
// VELTO_COM<n>, which the pair sets for its lifetime.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "framework/uBytes.h"

// The environment variable naming COM<n> set for a scope.
class TComPath {
 public:
  TComPath(int comNumber, const std::string& path);
  ~TComPath();
  TComPath(const TComPath&) = delete;
  TComPath& operator=(const TComPath&) = delete;

 private:
  std::string FVariable;
};

class TPtyPair {
 public:
  explicit TPtyPair(int comNumber);
  ~TPtyPair();
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  bool Ok() const { return FMaster >= 0; }
  const std::string& SlavePath() const { return FSlavePath; }
  // The far end goes away, as when a USB adapter is pulled.
  void CloseMaster();

  bool Send(const TBytes& bytes);
  // Reads until `count` bytes came or `timeoutMs` passed without any byte.
  TBytes Receive(std::size_t count, int timeoutMs);

 private:
  int FMaster = -1;
  std::string FSlavePath;
  std::unique_ptr<TComPath> FComPath;
};

