#include "transport/serial/uci_ISerialPortInterface.h"

#include <algorithm>
#include <array>
#include <functional>
#include <mutex>

#include "framework/uStrUtils.h"
#include "framework/uXmlNode.h"
#include "transport/serial/AfComPort.h"
#include "transport/serial/uSerialBytePort.h"
#include "transport/uConnectionString.h"
#include "transport/uPortLink.h"

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

// Whether text is a decimal number with an optional sign and fraction ("-1",
// "0.5", ".5", "2."), and whether it is other than zero. Read as text, not
// converted: only zero or not is asked, and this keeps the programs free of the
// floating-point library.
bool TryDecimalIsNonZero(const std::string& text, bool& nonZero) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool digit = false;
  bool point = false;
  nonZero = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = true;
      nonZero = nonZero || c != '0';
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
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
  bool nonZero = false;
  if (TryDecimalIsNonZero(trimmed, nonZero)) return nonZero;
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
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
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

// --- TSerialPortInterface ---

namespace {

using TLockGuard = std::lock_guard<TTransportMutex>;

// Modem lines of the component by number.
constexpr int kModemLineCts = 1;
constexpr int kModemLineDsr = 2;
constexpr int kModemLineRing = 3;
constexpr int kModemLineRlsd = 4;

constexpr std::int32_t kMaxComPort = 0xFFFF;

std::string PortName(std::int32_t port) {
  return port != 0 ? "COM" + std::to_string(port) : "COM unknown";
}

}  // namespace

TIntf<ICommunicationInterface> CreateSerialPortInterface(const std::string& connectionString) {
  return Make<TSerialPortInterface>(connectionString);
}

TSerialPortInterface::TSerialPortInterface(const std::string& connectionString)
    : FPort(std::make_shared<TAfComPort>()), FBytePort(std::make_unique<TSerialBytePort>()) {
  FBytePort->Attach(FPort);
  FLink = std::make_unique<TPortLink>(*this, *FBytePort);
  FPort->SetUserBaudRate(9600);
  AttachHandlers();
  FPort->SetOutBufSize(kBufferSize);
  FPort->SetInBufSize(kBufferSize);
  if (!connectionString.empty()) SetConnectionString(connectionString);
}

TSerialPortInterface::TSerialPortInterface(TXmlNode node, TIntf<IInterface> owner)
    : TSerialPortInterface(std::string()) {
  LoadFromNode(std::move(node), true, true);
  SetOwner(std::move(owner));
}

TSerialPortInterface::~TSerialPortInterface() {
  // The port is closed in BeforeDestruction while the transport is whole; here
  // only a constructor that failed leaves it open, and nobody is told.
  FPort->ClosePort();
  FLink.reset();
  FBytePort.reset();
  FPort.reset();
}

void TSerialPortInterface::BeforeDestruction() {
  try {
    Close(true);
  } catch (...) {
    // Destruction goes on whatever closing raised.
  }
  TSerialPortCoreInterface::BeforeDestruction();
}

void TSerialPortInterface::AttachHandlers() {
  // Every event of a report is raised while the transport holds itself: a
  // handler may drop the last other reference, which would free the port
  // component in the middle of its report.
  FPort->OnReportScope = [this](const std::function<void()>& raise) {
    const TIntf<ICommunicationInterface> keep = Self();
    raise();
  };
  // Opening and closing are announced by the link, after the lock.
  FPort->OnDataRecived = [this](TAfCustomSerialPort&, std::uint32_t) { FLink->Arrived(); };
  FPort->OnRLSDChanged = [this](TAfCustomSerialPort&) { AnnounceLine(0, kModemLineRlsd); };
  FPort->OnCTSChanged = [this](TAfCustomSerialPort&) { AnnounceLine(1, kModemLineCts); };
  FPort->OnDSRChanged = [this](TAfCustomSerialPort&) { AnnounceLine(3, kModemLineDsr); };
  FPort->OnRINGDetected = [this](TAfCustomSerialPort&) { AnnounceLine(4, kModemLineRing); };
  FPort->OnLineLost = [this](TAfCustomSerialPort&) { FLink->CheckLine(); };
}

void TSerialPortInterface::AnnounceLine(std::int32_t line, int modemLine) {
  // The state as the port has it now, not as it was when the event came.
  AnnounceLineChanged(line, FPort->ModemLineState(modemLine));
}

// --- connection ---

bool TSerialPortInterface::GetActive() {
  return FLink->Active();
}

bool TSerialPortInterface::Open() {
  SetBaudRate(GetBaudRate());
  if (GetActive()) return true;  // a port whose device went is closed first
  {
    TLockGuard guard(TransportLock());
    if (FComPort < 1 || FComPort > kMaxComPort) {
      SetLastError("COM" + std::to_string(FComPort) + ": no such port (ports count from 1)");
      return false;
    }
  }
  return FLink->Open();
}

bool TSerialPortInterface::Close(bool /*force*/) {
  return FLink->Close();
}

void TSerialPortInterface::SetPermitted(bool permitted) {
  TSerialPortCoreInterface::SetPermitted(permitted);
  if (!permitted) Close(true);
}

std::int32_t TSerialPortInterface::Write(const TBytes& data) {
  return FLink->Write(data);
}

void TSerialPortInterface::Read(TBytes& data) {
  FLink->Read(data);
}

std::int32_t TSerialPortInterface::GetReceivedCount() {
  return FLink->ReceivedCount();
}

bool TSerialPortInterface::WaitReceived(std::int32_t timeout) {
  return FLink->WaitReceived(timeout);
}

std::string TSerialPortInterface::GetDescription() {
  TLockGuard guard(TransportLock());
  return FPortName;
}

bool TSerialPortInterface::ShowSetupDialog() {
  const bool accepted = FPort->ShowConfigDialog();
  if (accepted) AnnounceSettingsChanged();
  return accepted;
}

void TSerialPortInterface::PurgeIn() {
  TLockGuard guard(TransportLock());
  if (GetActive()) FPort->PurgeInput();
}

void TSerialPortInterface::PurgeOut() {
  TLockGuard guard(TransportLock());
  if (GetActive()) FPort->PurgeOutput();
}

// --- settings ---

std::int32_t TSerialPortInterface::GetComPort() {
  TLockGuard guard(TransportLock());
  return FComPort;
}

void TSerialPortInterface::SetComPort(std::int32_t port) {
  const auto number = static_cast<std::uint16_t>(port >= 1 && port <= kMaxComPort ? port : 0);
  {
    TLockGuard guard(TransportLock());
    FComPort = port;
    FPortName = PortName(port);
    FBytePort->SetNames(FPortName);
    if (number == FPort->GetComNumber()) return;
    if (!FPort->IsOpen()) {
      FPort->SetComNumber(number);
      return;
    }
  }
  // Closed and opened again on the new number; a failure to open is kept as
  // the last error, as in Open.
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  FLink->Close();
  {
    TLockGuard guard(TransportLock());
    FPort->SetComNumber(number);
  }
  Open();
}

std::string TSerialPortInterface::GetConnectionString() {
  std::string text = TSerialPortCoreInterface::GetConnectionString();
  if (!text.empty()) text += ";";
  text += "comport=" + std::to_string(GetComPort());
  if (const std::uint32_t wait = FPort->GetPortWaitMs(); wait != 0)
    text += ";portwait=" + std::to_string(wait);
  if (const TAfDirectionSettings direction = FPort->GetDirection();
      direction.Mode != TAfDirectionMode::Off)
    text += ";rs485=" + DirectionText(direction);
  return text;
}

void TSerialPortInterface::SetConnectionString(const std::string& text) {
  const TIntf<ICommunicationInterface> keep = Self();  // goes on after announcing
  std::string value;
  std::int32_t port = 0;
  if (FindConnectionValue(text, "comport", value)) {
    SetComPort(IntegerValue(value));
  } else if (UpperCase(text.substr(0, 3)) == "COM" && TryParseInt(text.substr(3), port)) {
    SetComPort(port);
  } else {
    TLockGuard guard(TransportLock());
    FPortName = PortName(FComPort);
    FBytePort->SetNames(FPortName);
  }
  if (FindConnectionValue(text, "portwait", value)) {
    const std::int32_t wait = IntegerValue(value);
    if (wait < 0) throw EConvertError("'" + value + "' is not a valid port wait");
    FPort->SetPortWaitMs(static_cast<std::uint32_t>(wait));
  }
  if (FindConnectionValue(text, "rs485", value)) {
    TAfDirectionSettings direction;
    if (!ParseDirection(value, direction))
      throw EConvertError("'" + value + "' is not a valid direction control");
    FPort->SetDirection(direction);
  }
  TSerialPortCoreInterface::SetConnectionString(text);
  AnnounceSettingsChanged();
}

std::int32_t TSerialPortInterface::GetBaudRate() {
  const TAfBaudrate choice = FPort->GetBaudRate();
  return choice == brUser ? FPort->GetUserBaudRate()
                          : static_cast<std::int32_t>(AfBaudrateValue(choice));
}

void TSerialPortInterface::SetBaudRate(std::int32_t baudRate) {
  // The character time changes only once the line has taken the rate: a
  // refused rate (raised here) leaves the line, and so the time, as it was.
  FPort->SetUserBaudRate(baudRate);
  TSerialPortCoreInterface::SetBaudRate(baudRate);
  AnnounceSettingsChanged();
}

std::int32_t TSerialPortInterface::GetDataBits() {
  return static_cast<std::int32_t>(FPort->GetDatabits()) + 4;
}

void TSerialPortInterface::SetDataBits(std::int32_t dataBits) {
  // A count the line cannot take is refused when it is applied.
  FPort->SetDatabits(static_cast<TAfDatabits>(dataBits - 4));
  AnnounceSettingsChanged();
}

std::int32_t TSerialPortInterface::GetStopBits() {
  return static_cast<std::int32_t>(FPort->GetStopbits());
}

void TSerialPortInterface::SetStopBits(std::int32_t stopBits) {
  FPort->SetStopbits(static_cast<TAfStopbits>(stopBits));
  AnnounceSettingsChanged();
}

std::int32_t TSerialPortInterface::GetParity() {
  return static_cast<std::int32_t>(FPort->GetParity());
}

void TSerialPortInterface::SetParity(std::int32_t parity) {
  FPort->SetParity(static_cast<TAfParity>(parity));
  AnnounceSettingsChanged();
}

bool TSerialPortInterface::GetDTR() {
  return FPort->GetDTR();
}

void TSerialPortInterface::SetDTR(bool raised) {
  TLockGuard guard(TransportLock());
  FPort->SetDTR(raised);
}

bool TSerialPortInterface::GetRTS() {
  return FPort->GetRTS();
}

void TSerialPortInterface::SetRTS(bool raised) {
  TLockGuard guard(TransportLock());
  FPort->SetRTS(raised);
}

bool TSerialPortInterface::GetCTS() {
  return FPort->ModemLineState(kModemLineCts);
}

bool TSerialPortInterface::GetDSR() {
  return FPort->ModemLineState(kModemLineDsr);
}

std::int32_t TSerialPortInterface::GetOutBufSize() {
  return FPort->GetOutBufSize();
}

void TSerialPortInterface::SetOutBufSize(std::int32_t size) {
  FPort->SetOutBufSize(size);
}

std::int32_t TSerialPortInterface::GetInBufSize() {
  return FPort->GetInBufSize();
}

void TSerialPortInterface::SetInBufSize(std::int32_t size) {
  FPort->SetInBufSize(size);
}
