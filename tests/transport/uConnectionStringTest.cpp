#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/uConnectionString.h"

namespace {

// Transport classes of the tests: each records the text its constructor got.
class TRecordingTransport : public TCommunicationInterface {
 public:
  TRecordingTransport(std::string kind, const std::string& text) : Kind(std::move(kind)) {
    if (!text.empty()) SetConnectionString(text);
  }
  bool GetActive() override { return false; }
  std::int32_t Write(const TBytes&) override { return 0; }
  std::int32_t GetReceivedCount() override { return 0; }
  std::string GetDescription() override { return Kind; }
  std::string GetConnectionString() override { return Text; }
  void SetConnectionString(const std::string& text) override {
    Text = text;
    TCommunicationInterface::SetConnectionString(text);
  }

  std::string Kind;
  std::string Text;
};

TIntf<ICommunicationInterface> MakeSerial(const std::string& text) {
  return Make<TRecordingTransport>("serial", text);
}
TIntf<ICommunicationInterface> MakeTcp(const std::string& text) {
  return Make<TRecordingTransport>("tcp", text);
}
TIntf<ICommunicationInterface> MakeNothing(const std::string&) {
  return {};
}

// Registers the test classes for one test and removes them afterwards.
class ProviderFactory : public ::testing::Test {
 protected:
  void SetUp() override {
    FBefore = ProviderRegistry().size();
    RegisterProvider(&MakeSerial, "SERIAL_PORT");
    RegisterProvider(&MakeTcp, "TCP_CLIENT_TEST");
  }
  void TearDown() override {
    while (UnregisterProvider(&MakeSerial)) {
    }
    while (UnregisterProvider(&MakeTcp)) {
    }
    while (UnregisterProvider(&MakeNothing)) {
    }
    EXPECT_EQ(ProviderRegistry().size(), FBefore);
  }
  static std::string KindOf(const TIntf<ICommunicationInterface>& t) {
    return t ? t->GetDescription() : std::string("<none>");
  }
  static std::string TextOf(const TIntf<ICommunicationInterface>& t) {
    return t ? t->GetConnectionString() : std::string("<none>");
  }
  std::size_t FBefore = 0;
};

TEST_F(ProviderFactory, BlanksRemovedAndProviderMatchedInAnyCase) {
  TIntf<ICommunicationInterface> t;
  ASSERT_TRUE(CreateTransport("Provider = tcp_client_test ; Port=10001", t));
  EXPECT_EQ(KindOf(t), "tcp");
  // The class gets the pairs one per line, without blanks.
  EXPECT_EQ(TextOf(t), "Provider=tcp_client_test\rPort=10001");
}

TEST_F(ProviderFactory, FirstProviderPairCounts) {
  TIntf<ICommunicationInterface> t;
  ASSERT_TRUE(CreateTransport("provider=SERIAL_PORT;provider=TCP_CLIENT_TEST", t));
  EXPECT_EQ(KindOf(t), "serial");
}

TEST_F(ProviderFactory, NoProviderPairGivesFalseAndLeavesTransportAlone) {
  auto before = MakeTcp("x=1");
  TIntf<ICommunicationInterface> t = before;
  EXPECT_FALSE(CreateTransport("comport=1;baudrate=9600", t));
  EXPECT_TRUE(SameObject(t, before));
}

TEST_F(ProviderFactory, UnknownOrEmptyProviderGivesFalse) {
  TIntf<ICommunicationInterface> t;
  EXPECT_FALSE(CreateTransport("provider=NOSUCH;port=1", t));
  EXPECT_FALSE(CreateTransport("provider=;port=1", t));
  EXPECT_FALSE(CreateTransport("", t));
  EXPECT_FALSE(CreateTransport("SERIAL_PORT", t));  // a piece without "=" names no key
  EXPECT_FALSE(t);
}

TEST_F(ProviderFactory, LineBreakInsideAValueJoinsItsParts) {
  TIntf<ICommunicationInterface> t;
  ASSERT_TRUE(CreateTransport("provider=SERIAL_PORT;host=10.0.\r\n0.1;port=5", t));
  EXPECT_EQ(TextOf(t), "provider=SERIAL_PORT\rhost=10.0.0.1\rport=5");
  std::string host;
  ASSERT_TRUE(FindConnectionValue(TextOf(t), "HOST", host));
  EXPECT_EQ(host, "10.0.0.1");
}

TEST_F(ProviderFactory, ClassThatMakesNothingGivesFalse) {
  RegisterProvider(&MakeNothing, "EMPTY");
  TIntf<ICommunicationInterface> t;
  EXPECT_FALSE(CreateTransport("provider=EMPTY", t));
  EXPECT_FALSE(t);
}

TEST_F(ProviderFactory, RegistryKeepsOrderAllowsDuplicatesAndUnregistersFirstOfAClass) {
  RegisterProvider(&MakeTcp, "SERIAL_PORT");  // a duplicate name: the first one is found
  TTransportClass found = nullptr;
  ASSERT_TRUE(FindProvider("serial_port", found));
  EXPECT_EQ(found, &MakeSerial);
  EXPECT_TRUE(UnregisterProvider(&MakeSerial));
  ASSERT_TRUE(FindProvider("SERIAL_PORT", found));
  EXPECT_EQ(found, &MakeTcp);
  EXPECT_FALSE(UnregisterProvider(&MakeSerial));
  EXPECT_FALSE(FindProvider("NOSUCH", found));
  auto entries = ProviderRegistry();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2].Name, "TCP_CLIENT_TEST");
  EXPECT_EQ(entries.back().Name, "SERIAL_PORT");
}

// ---------------------------------------------------------------------------

TEST(ConnectionStringGrammar, NormalizeDeletesBlanksAndBreaksAndPutsPairsOnLines) {
  EXPECT_EQ(NormalizeConnectionString(" a = 1 ;\r\nb=2;;c"), "a=1\rb=2\r\rc");
  EXPECT_EQ(NormalizeConnectionString(""), "");
}

TEST(ConnectionStringGrammar, ValueKeepsEqualsSignsAndPiecesWithoutNameMatchNothing) {
  auto pairs = ParseConnectionString("a=b=c;novalue;;\rd=");
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].Name, "a");
  EXPECT_EQ(pairs[0].Value, "b=c");
  EXPECT_FALSE(pairs[1].HasName);
  EXPECT_EQ(pairs[2].Name, "d");
  EXPECT_EQ(pairs[2].Value, "");
  std::string value;
  EXPECT_FALSE(FindConnectionValue("novalue", "novalue", value));
}

TEST(ConnectionStringGrammar, FirstOccurrenceOfANameCountsRegardlessOfCase) {
  std::string value;
  ASSERT_TRUE(FindConnectionValue("Port=1;PORT=2;port=3", "port", value));
  EXPECT_EQ(value, "1");
  // Separators ";" and line breaks are both accepted.
  ASSERT_TRUE(FindConnectionValue("host=a\nport=9", "Port", value));
  EXPECT_EQ(value, "9");
  EXPECT_FALSE(FindConnectionValue("host=a", "port", value));
  EXPECT_EQ(value, "9");  // untouched when absent
}

}  // namespace
