#include "device/uVelto.h"

#include <algorithm>

#include "framework/uStrUtils.h"

namespace {

// Counts from an inputs/outputs word such as "8/4"; both halves must convert.
bool ParseCountsWord(const std::string& word, std::int32_t& inputs, std::int32_t& outputs) {
  const std::size_t slash = word.find('/');
  std::int32_t in = 0;
  std::int32_t out = 0;
  if (!TryParseInt(std::string_view(word).substr(0, slash), in) ||
      !TryParseInt(std::string_view(word).substr(slash + 1), out)) {
    return false;
  }
  inputs = in;
  outputs = out;
  return true;
}

}  // namespace

bool ParseVeltoInfo(const std::string& text, TVeltoInfo& info) {
  info.InterfaceType.clear();
  info.InputCount = -1;
  info.OutputCount = -1;
  info.ThermometerCount = 0;

  std::vector<std::string> extras;
  if (!ParseTervanInfo(text, info.Identification, &extras)) return false;
  if (UpperCase(info.Identification.Name).rfind("VELTO", 0) != 0) return false;

  // Words of the first item; the last inputs/outputs word decides the counts.
  const std::string firstItem = text.substr(0, text.find(';'));
  bool countsFound = false;
  std::size_t start = 0;
  while (start <= firstItem.size()) {
    std::size_t end = firstItem.find(' ', start);
    if (end == std::string::npos) end = firstItem.size();
    const std::string word = UpperCase(TrimControl(firstItem.substr(start, end - start)));
    start = end + 1;
    if (word.empty()) continue;
    if (word.find('/') != std::string::npos) {
      std::int32_t in = -1;
      std::int32_t out = -1;
      countsFound = ParseCountsWord(word, in, out);
      // A word that does not convert leaves no half-read count behind.
      info.InputCount = countsFound ? in : -1;
      info.OutputCount = countsFound ? out : -1;
    } else if (word == "ETH" || word == "USB" || word == "RS") {
      info.InterfaceType = word;
    }
  }

  for (const std::string& extra : extras) {
    if (extra.empty() || (extra[0] != 'T' && extra[0] != 't')) continue;
    std::int32_t count = 0;
    if (TryParseInt(std::string_view(extra).substr(1), count)) info.ThermometerCount = count;
  }
  return countsFound;
}

bool DecodeBits(const TBytes& answer, TVeltoIOArray& states, int wantedLength) {
  if (wantedLength >= 0) {
    states.resize(static_cast<std::size_t>(wantedLength));
  } else if (states.empty()) {
    states.resize(answer.size() * 8);
  }
  const std::size_t count = std::min(states.size(), answer.size() * 8);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = answer[answer.size() - 1 - i / 8];
    states[i] = ((byte >> (i % 8)) & 1) != 0;
  }
  return count > 0;
}

std::uint8_t PackOutputCommand(int output, bool state) {
  return static_cast<std::uint8_t>((state ? 0x80 : 0x00) | (output & 0x7F));
}

std::uint8_t PackCounterRequest(bool clear, int index) {
  return static_cast<std::uint8_t>((clear ? 0x80 : 0x00) | (index & 0x3F));
}

bool ExtractCounterValue(const TBytes& answer, int position, TCounterReading& reading) {
  if (answer.empty() || answer[0] == 0 || position < 1) return false;
  const std::size_t width = answer[0];
  const std::size_t bytesPerValue = (width + 7) / 8;
  const std::size_t valueCount = (answer.size() - 1) / bytesPerValue;
  if (static_cast<std::size_t>(position) > valueCount) return false;
  const std::size_t offset = 1 + static_cast<std::size_t>(position - 1) * bytesPerValue;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bytesPerValue; ++i) {
    value = (value << 8) | answer[offset + i];  // wider values keep their low 32 bits
  }
  reading.Width = answer[0];
  reading.Value = value;
  return true;
}

bool FindCounterConfig(const TBytes& answer, int index, bool& first, bool& second) {
  for (std::uint8_t byte : answer) {
    if ((byte & 0x3F) == index) {
      first = (byte & 0x80) != 0;
      second = (byte & 0x40) != 0;
      return true;
    }
  }
  return false;
}

std::uint8_t PackCounterConfig(int index, bool first, bool second) {
  return static_cast<std::uint8_t>((index & 0x3F) | (first ? 0x80 : 0x00) | (second ? 0x40 : 0x00));
}

bool DecodeTemperature(const TBytes& answer, double& degrees, std::uint8_t& status) {
  if (answer.size() != 3) return false;
  status = answer[0];
  const auto tenths =
      static_cast<std::int16_t>(static_cast<std::uint16_t>(answer[1] << 8 | answer[2]));
  degrees = tenths / 10.0;
  return true;
}

bool DecodeLabel(const TBytes& answer, std::string& text) {
  std::size_t end = answer.size();
  while (end > 0 && answer[end - 1] == 0) --end;
  text.assign(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(end));
  return answer.size() == kVeltoLabelSize;
}

TBytes EncodeLabel(std::uint8_t index, const std::string& text) {
  TBytes bytes(1 + kVeltoLabelSize, 0);
  bytes[0] = index;
  const std::size_t n = std::min(text.size(), kVeltoLabelSize);
  std::copy_n(text.begin(), n, bytes.begin() + 1);
  return bytes;
}
