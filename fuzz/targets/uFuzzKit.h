// Pieces every fuzz target uses: a reader over the fuzzer's bytes and the
// check that ends the run when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/uBytes.h"

namespace fuzzkit {

// Reports a property that does not hold and aborts, which the fuzzer (and
// the corpus replay) counts as a crash with this input.
[[noreturn]] void Fail(const char* what, const std::string& detail = {});
// Named in the report of a broken property (the corpus replay sets the file).
void SetContext(std::string context);

inline void Check(bool holds, const char* what, const std::string& detail = {}) {
  if (!holds) Fail(what, detail);
}

// Takes the fuzzer's bytes from the front; past the end it gives zeros and
// empty strings, so a target needs no length checks of its own.
class TInput {
 public:
  TInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

  bool Empty() const { return FAt >= FSize; }
  std::size_t Left() const { return FSize - FAt; }
  std::uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
  TBytes Bytes(std::size_t count);
  TBytes Rest() { return Bytes(Left()); }
  std::string RestText();

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

// The connection string with every "active" pair taken out (whatever its
// letter case and blanks), so that setting it on a transport opens nothing.
std::string WithoutActive(std::string_view text);
// The same for a text given to the provider factory, which deletes line
// breaks and blanks before it splits: there "acti<CR>ve=1" is "active=1".
std::string FactoryTextWithoutActive(std::string_view text);

}  // namespace fuzzkit
