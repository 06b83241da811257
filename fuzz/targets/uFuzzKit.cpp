#include "uFuzzKit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "framework/uStrUtils.h"
#include "transport/uConnectionString.h"

namespace fuzzkit {

namespace {
std::string gContext;  // the fuzzer and the replay run one input at a time
}  // namespace

void SetContext(std::string context) {
  gContext = std::move(context);
}

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz property broken: %s%s%s%s%s\n", what, detail.empty() ? "" : ": ",
               detail.c_str(), gContext.empty() ? "" : " in ", gContext.c_str());
  std::abort();
}

TBytes TInput::Bytes(std::size_t count) {
  count = std::min(count, Left());
  TBytes bytes(FData + FAt, FData + FAt + count);
  FAt += count;
  return bytes;
}

std::string TInput::RestText() {
  const TBytes bytes = Rest();
  return std::string(bytes.begin(), bytes.end());
}

std::string WithoutActive(std::string_view text) {
  std::string result;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != ';' && text[i] != '\r' && text[i] != '\n') continue;
    const std::string_view piece = text.substr(start, i - start);
    // The factory deletes blanks before it reads a name: "act ive" is "active".
    std::string name;
    for (char c : piece.substr(0, piece.find('=')))
      if (!std::isspace(static_cast<unsigned char>(c)) &&
          !std::iscntrl(static_cast<unsigned char>(c)))
        name.push_back(c);
    if (!SameText(name, "active")) {
      result.append(piece);
      if (i < text.size()) result.push_back(text[i]);
    }
    start = i + 1;
  }
  return result;
}

std::string FactoryTextWithoutActive(std::string_view text) {
  // The factory's own form has only carriage returns between its pairs; the
  // result goes back with ";" so that the factory's form of it is the same.
  std::string normalized = NormalizeConnectionString(text);
  for (char& c : normalized)
    if (c == '\r') c = ';';
  return WithoutActive(normalized);
}

}  // namespace fuzzkit
