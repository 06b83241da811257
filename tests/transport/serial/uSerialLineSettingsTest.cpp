#include <gtest/gtest.h>

#include <string>

#include "framework/uXmlNode.h"
#include "transport/serial/uci_ISerialPortInterface.h"

namespace {

// The serial-line layer over plain fields, as a transport supplies them.
class TFieldLine : public TSerialPortCoreInterface {
 public:
  bool GetActive() override { return Opened; }
  bool Open() override {
    BaudAtOpen = Baud;
    Opened = true;
    return true;
  }
  std::int32_t Write(const TBytes&) override { return 0; }
  std::int32_t GetReceivedCount() override { return 0; }
  std::string GetDescription() override { return "line"; }
  std::int32_t GetBaudRate() override { return Baud; }
  void SetBaudRate(std::int32_t b) override {
    TSerialPortCoreInterface::SetBaudRate(b);
    Baud = b;
  }
  bool GetRTS() override { return Rts; }
  void SetRTS(bool v) override { Rts = v; }
  bool GetDTR() override { return Dtr; }
  void SetDTR(bool v) override { Dtr = v; }
  bool GetCTS() override { return false; }
  bool GetDSR() override { return false; }
  std::int32_t GetStopBits() override { return StopBits; }
  void SetStopBits(std::int32_t v) override { StopBits = v; }
  std::int32_t GetParity() override { return Parity; }
  void SetParity(std::int32_t v) override { Parity = v; }
  std::int32_t GetDataBits() override { return DataBits; }
  void SetDataBits(std::int32_t v) override { DataBits = v; }
  std::int32_t GetOutBufSize() override { return 0; }
  void SetOutBufSize(std::int32_t) override {}
  std::int32_t GetInBufSize() override { return 0; }
  void SetInBufSize(std::int32_t) override {}

  std::int32_t Baud = 9600, DataBits = 8, StopBits = sbOne, Parity = paNone;
  bool Dtr = true, Rts = true, Opened = false;
  std::int32_t BaudAtOpen = 0;
};

TEST(SerialLineSettings, WritesEveryKeyAndReadsItBack) {
  auto line = Make<TFieldLine>();
  EXPECT_EQ(line->GetConnectionString(),
            "baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1");
  auto other = Make<TFieldLine>();
  other->Baud = 300, other->DataBits = 7, other->StopBits = sbOneAndHalf;
  other->Parity = paSpace, other->Dtr = false;
  line->SetConnectionString(other->GetConnectionString());
  EXPECT_EQ(line->GetConnectionString(),
            "baudrate=300;databits=7;stopbits=OneAndHalf;parity=Space;dtr=0;rts=-1");
}

TEST(SerialLineSettings, StopBitsAndParityTexts) {
  struct TCase {
    const char* Text;
    std::int32_t StopBits;  // -1: not a stop-bits text
    std::int32_t Parity;    // -1: not a parity text
  } cases[] = {
      {"1", sbOne, -1},         {"one", sbOne, -1},     {"1,5", sbOneAndHalf, -1},
      {"1.5", sbOneAndHalf, -1}, {"OneAndHalf", sbOneAndHalf, -1},
      {" two ", sbTwo, -1},     {"3", -1, -1},          {"odd", -1, paOdd},
      {"EVEN", -1, paEven},     {"Mark", -1, paMark},   {"space", -1, paSpace},
      {"none", -1, paNone},     {"", -1, -1},           {"o", -1, -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    std::int32_t code = 99;
    EXPECT_EQ(StopBitsFromText(c.Text, code), c.StopBits >= 0);
    if (c.StopBits >= 0) {
      EXPECT_EQ(code, c.StopBits);
    }
    code = 99;
    EXPECT_EQ(ParityFromText(c.Text, code), c.Parity >= 0);
    if (c.Parity >= 0) {
      EXPECT_EQ(code, c.Parity);
    }
  }
}

TEST(SerialLineSettings, UnknownStopBitsOrParityKeepsTheCurrentValue) {
  auto line = Make<TFieldLine>();
  line->SetConnectionString("stopbits=2;parity=odd");
  line->SetConnectionString("stopbits=3;parity=seven");
  EXPECT_EQ(line->StopBits, sbTwo);
  EXPECT_EQ(line->Parity, paOdd);
}

TEST(SerialLineSettings, LineStateTexts) {
  // A fraction too small for a double is still not zero.
  const std::string tiny = "0." + std::string(400, '0') + "1";
  for (const char* raised : {"-1", "1", "true", "TRUE", "0.5", ".5", "+0.001", "$10", " 2 ", tiny.c_str()})
    EXPECT_TRUE(LineStateFromText(raised)) << raised;
  for (const char* lowered : {"0", "false", "False", "0.0", "-0", "0.", "+.000"})
    EXPECT_FALSE(LineStateFromText(lowered)) << lowered;
  for (const char* bad : {"yes", "", "1x", "on", ".", "-", "1.2.3", "1e3", "--1"}) {
    try {
      LineStateFromText(bad);
      ADD_FAILURE() << bad << " converted";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid boolean value");
    }
  }
}

TEST(SerialLineSettings, BadValueRaisesAfterTheKeysBeforeIt) {
  auto line = Make<TFieldLine>();
  EXPECT_THROW(line->SetConnectionString("baudrate=19200;databits=eight;dtr=0"), EConvertError);
  EXPECT_EQ(line->Baud, 19200);
  EXPECT_EQ(line->DataBits, 8);
  EXPECT_TRUE(line->Dtr);
  EXPECT_THROW(line->SetConnectionString("dtr=yes"), EConvertError);
  EXPECT_THROW(line->SetConnectionString("baudrate=9600x"), EConvertError);
}

TEST(SerialLineSettings, ActiveOpensAfterEveryOtherKey) {
  struct TCase {
    const char* Active;
    bool Opens;
  } cases[] = {{"1", true}, {"TRUE", true}, {"true", true}, {"-1", false}, {"0", false},
               {"yes", false}};
  for (const TCase& c : cases) {
    auto line = Make<TFieldLine>();
    line->SetConnectionString(std::string("active=") + c.Active + ";baudrate=4800");
    EXPECT_EQ(line->Opened, c.Opens) << c.Active;
    if (c.Opens) {
      EXPECT_EQ(line->BaudAtOpen, 4800);
    }
  }
}

TEST(SerialLineSettings, LineBreaksSeparateKeysAndSettingsChangeIsAnnounced) {
  auto line = Make<TFieldLine>();
  int announced = 0;
  struct TCounter {
    int* Count;
    void Notify(TIntf<ICommunicationInterface>) { ++*Count; }
  } counter{&announced};
  line->SettingsChanged().AddHandler(TCiNotifyHandler::Of<&TCounter::Notify>(&counter));
  line->SetConnectionString("provider=SERIAL_PORT\rbaudrate=$4B0\rparity=even");
  EXPECT_EQ(line->Baud, 1200);
  EXPECT_EQ(line->Parity, paEven);
  EXPECT_EQ(announced, 1);
}

TEST(SerialLineSettings, CharacterTimeFollowsTheBaudRate) {
  auto line = Make<TFieldLine>();
  ISerialPortInterface& port = *line;
  port.SetBaudRate(9600);
  EXPECT_DOUBLE_EQ(line->GetByteTime(), 10000.0 / 9600);
  port.SetBaudRate(0);
  EXPECT_EQ(line->GetByteTime(), 0.0);
  EXPECT_TRUE(Supports<ISerialPortInterface>(TIntf<ICommunicationInterface>(line.get())));
}

}  // namespace
