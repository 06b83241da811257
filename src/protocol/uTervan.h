// The identification record a module gives about itself:
// "name;Vmajor.minor.release;Fformats;...".
#pragma once

#include <bitset>
#include <string>
#include <vector>

struct TTervanVersion {
  std::string Text;     // at most 10 characters
  std::string Major;    // at most 4
  std::string Minor;    // at most 2
  std::string Release;  // at most 2

  bool operator==(const TTervanVersion&) const = default;
};

// Set of packet format numbers 64..103.
class TTervanFormats {
 public:
  static constexpr int kFirst = 64;
  static constexpr int kLast = 103;
  void Clear() { FBits.reset(); }
  void Add(int format);
  bool Has(int format) const;
  bool Empty() const { return FBits.none(); }
  std::vector<int> Members() const;
  bool operator==(const TTervanFormats&) const = default;

 private:
  std::bitset<kLast - kFirst + 1> FBits;
};

struct TTervanInfo {
  std::string Raw;
  std::string Name;
  TTervanVersion Version;
  TTervanFormats Formats;
};

bool ParseFormats(const std::string& part, TTervanFormats& formats);
bool ParseVersion(const std::string& part, TTervanVersion& version);
// `extras` (may be null) receives the parts the parser does not interpret.
bool ParseTervanInfo(const std::string& text, TTervanInfo& info,
                     std::vector<std::string>* extras = nullptr);
