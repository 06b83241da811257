#include "transport/serial/uci_ISerialPortInterface.h"

#include <array>
#include <charconv>

#include "framework/uStrUtils.h"
#include "framework/uXmlNode.h"
#include "transport/uConnectionString.h"

namespace {

struct TCodeText {
  std::int32_t Code;
  const char* Written;
  std::array<const char*, 3> Accepted;  // upper case; empty entries unused
};

constexpr std::array<TCodeText, 3> kStopBits{{
    {sbOne, "One", {"1", "ONE", ""}},
    {sbOneAndHalf, "OneAndHalf", {"1.5", "1,5", "ONEANDHALF"}},
    {sbTwo, "Two", {"2", "TWO", ""}},
}};

constexpr std::array<TCodeText, 5> kParities{{
    {paNone, "None", {"NONE", "", ""}},
    {paOdd, "Odd", {"ODD", "", ""}},
    {paEven, "Even", {"EVEN", "", ""}},
    {paMark, "Mark", {"MARK", "", ""}},
    {paSpace, "Space", {"SPACE", "", ""}},
}};

template <std::size_t N>
std::string WrittenText(const std::array<TCodeText, N>& table, std::int32_t code) {
  for (const TCodeText& entry : table)
    if (entry.Code == code) return entry.Written;
  // A code outside the table has no text; the first entry is the default.
  return table[0].Written;
}

template <std::size_t N>
bool CodeOfText(const std::array<TCodeText, N>& table, const std::string& text,
                std::int32_t& code) {
  const std::string upper = UpperCase(TrimControl(text));
  for (const TCodeText& entry : table)
    for (const char* accepted : entry.Accepted)
      if (*accepted != '\0' && upper == accepted) {
        code = entry.Code;
        return true;
      }
  return false;
}

std::int32_t IntegerValue(const std::string& text) {
  std::int32_t value = 0;
  if (!TryParseInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

// A decimal number with an optional sign and fraction ("-1", "0.5").
bool TryParseDecimal(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
  return error == std::errc() && end == last && first != last;
}

}  // namespace

std::string StopBitsText(std::int32_t stopBits) { return WrittenText(kStopBits, stopBits); }

bool StopBitsFromText(const std::string& text, std::int32_t& stopBits) {
  return CodeOfText(kStopBits, text, stopBits);
}

std::string ParityText(std::int32_t parity) { return WrittenText(kParities, parity); }

bool ParityFromText(const std::string& text, std::int32_t& parity) {
  return CodeOfText(kParities, text, parity);
}

bool LineStateFromText(const std::string& text) {
  const std::string trimmed = TrimControl(text);
  std::int32_t whole = 0;
  if (TryParseInt(trimmed, whole)) return whole != 0;
  double number = 0.0;
  if (TryParseDecimal(trimmed, number)) return number != 0.0;
  if (SameText(trimmed, "true")) return true;
  if (SameText(trimmed, "false")) return false;
  throw EConvertError("'" + text + "' is not a valid boolean value");
}

HRESULT TSerialPortCoreInterface::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<ISerialPortInterface>(this, iid, obj)) return S_OK;
  return TCommunicationInterface::QueryInterface(iid, obj);
}

std::string TSerialPortCoreInterface::GetConnectionString() {
  std::string text = TCommunicationInterface::GetConnectionString();
  if (!text.empty()) text += ";";
  text += "baudrate=" + std::to_string(GetBaudRate());
  text += ";databits=" + std::to_string(GetDataBits());
  text += ";stopbits=" + StopBitsText(GetStopBits());
  text += ";parity=" + ParityText(GetParity());
  text += std::string(";dtr=") + (GetDTR() ? "-1" : "0");
  text += std::string(";rts=") + (GetRTS() ? "-1" : "0");
  return text;
}

void TSerialPortCoreInterface::SetConnectionString(const std::string& text) {
  std::string value;
  if (FindConnectionValue(text, "baudrate", value)) SetBaudRate(IntegerValue(value));
  if (FindConnectionValue(text, "databits", value)) SetDataBits(IntegerValue(value));
  std::int32_t code = 0;
  if (FindConnectionValue(text, "stopbits", value) && StopBitsFromText(value, code))
    SetStopBits(code);
  if (FindConnectionValue(text, "parity", value) && ParityFromText(value, code)) SetParity(code);
  if (FindConnectionValue(text, "dtr", value)) SetDTR(LineStateFromText(value));
  if (FindConnectionValue(text, "rts", value)) SetRTS(LineStateFromText(value));
  const bool open = FindConnectionValue(text, "active", value) &&
                    (UpperCase(value) == "TRUE" || value == "1");
  AnnounceSettingsChanged();
  // The outcome of opening is the transport's state, not the setter's result.
  if (open) Open();
}

void TSerialPortCoreInterface::SetBaudRate(std::int32_t baudRate) {
  FByteTime = baudRate > 0 ? 10000.0 / baudRate : 0.0;
}
