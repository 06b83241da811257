#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/uParams.h"
#include "app/uTextOut.h"

namespace {

using Lines = std::vector<std::string>;

struct Parsed {
  TParamRec params;
  Lines lines;
};

Parsed Parse(const std::vector<std::string>& args) {
  TTextOut out;
  Parsed result;
  // Start from a record full of non-defaults: the parser must reset it.
  result.params.ShowHelp = true;
  result.params.ConnectionDefined = true;
  result.params.ConnectionString = "stale";
  result.params.LogEnabled = false;
  result.params.Address = 1;
  result.params.Outputs.push_back({9, true, 9, true});
  result.params.Inputs.push_back({9});
  ParseCommandLine(args, result.params, out);
  std::istringstream in(out.Text());
  for (std::string line; std::getline(in, line);) result.lines.push_back(line);
  EXPECT_TRUE(out.Text().empty() || out.Text().back() == '\n') << "every message ends its line";
  return result;
}

std::vector<std::int32_t> InputNumbers(const TParamRec& p) {
  std::vector<std::int32_t> numbers;
  for (const TQInputItem& item : p.Inputs) numbers.push_back(item.Number);
  return numbers;
}

// ------------------------------------------------------------- defaults

TEST(ParseCommandLineDefaults, NoArgumentsLeaveEveryDefault) {
  Parsed r = Parse({});
  EXPECT_FALSE(r.params.ShowHelp);
  EXPECT_FALSE(r.params.ConnectionDefined);
  EXPECT_EQ(r.params.ConnectionString, "");
  EXPECT_TRUE(r.params.LogEnabled);
  EXPECT_EQ(r.params.Address, 0xFE);
  EXPECT_TRUE(r.params.Outputs.empty());
  EXPECT_TRUE(r.params.Inputs.empty());
  EXPECT_TRUE(r.lines.empty());
}

TEST(ParseCommandLineDefaults, BlankArgumentsAreSkippedSilently) {
  Parsed r = Parse({"", "   ", "\t\r\n"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_FALSE(r.params.ConnectionDefined);
}

// ------------------------------------------------------------- argument form

TEST(ParseCommandLineArguments, WithoutSwitchCharacterIsBad) {
  Parsed r = Parse({"abc", "  COM=1  "});
  EXPECT_EQ(r.lines, (Lines{"Bad argument:'abc'!", "Bad argument:'COM=1'!"}));
  EXPECT_FALSE(r.params.ConnectionDefined);
}

TEST(ParseCommandLineArguments, EmptyAndUnknownSwitchesAreBad) {
  Parsed r = Parse({"/", "- ", "/NOLOGX", "/DST", "-std", "/Addres=1"});
  EXPECT_EQ(r.lines,
            (Lines{"Bad argument:'/'!", "Bad argument:'-'!", "Bad argument:'/NOLOGX'!",
                   "Bad argument:'/DST'!", "Bad argument:'-std'!", "Bad argument:'/Addres=1'!"}));
  EXPECT_TRUE(r.params.LogEnabled);
}

TEST(ParseCommandLineArguments, BadArgumentNeverStopsTheParse) {
  Parsed r = Parse({"junk", "/COM=X", "/Out1=on", "/Address=12", "/ErrorCode=In2", "/nolog"});
  EXPECT_EQ(r.lines, (Lines{"Bad argument:'junk'!", "Bad COM setting", "Bad device address!"}));
  ASSERT_EQ(r.params.Outputs.size(), 1u);
  EXPECT_EQ(InputNumbers(r.params), (std::vector<std::int32_t>{2}));
  EXPECT_FALSE(r.params.LogEnabled);
}

TEST(ParseCommandLineArguments, SwitchesIgnoreLetterCaseAndMayStartWithDash) {
  Parsed r = Parse({"-com=2", "-aDDRESS=#3", "-oUt1=ON", "-errorcode=in1", "-NoLog"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.params.ConnectionString, "provider=SERIAL_PORT;comport=2;baudrate=9600");
  EXPECT_EQ(r.params.Address, 3);
  EXPECT_EQ(r.params.Outputs.size(), 1u);
  EXPECT_EQ(r.params.Inputs.size(), 1u);
  EXPECT_FALSE(r.params.LogEnabled);
}

TEST(ParseCommandLineArguments, BlanksAroundTheSwitchAreTrimmed) {
  Parsed r = Parse({"  /  Address=a  ", "\t/ Out2=Off:3s\n"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.params.Address, 'a');
  ASSERT_EQ(r.params.Outputs.size(), 1u);
  EXPECT_EQ(r.params.Outputs[0], (TQOutputItem{2, false, 6, true}));
}

// ------------------------------------------------------------- help and logging

TEST(ParseCommandLineHelp, EveryHelpForm) {
  for (const char* arg : {"/?", "-?", "/?x", "/help", "/HELP", "-Help", "/ ?"}) {
    Parsed r = Parse({arg});
    EXPECT_TRUE(r.params.ShowHelp) << arg;
    EXPECT_TRUE(r.lines.empty()) << arg;
  }
}

TEST(ParseCommandLineHelp, HelpxIsNotHelp) {
  Parsed r = Parse({"/helpx"});
  EXPECT_FALSE(r.params.ShowHelp);
  EXPECT_EQ(r.lines, (Lines{"Bad argument:'/helpx'!"}));
}

TEST(ParseCommandLineHelp, OtherSwitchesAreStillParsed) {
  Parsed r = Parse({"/COM=1", "/?", "/Out1=1"});
  EXPECT_TRUE(r.params.ShowHelp);
  EXPECT_TRUE(r.params.ConnectionDefined);
  EXPECT_EQ(r.params.Outputs.size(), 1u);
}

TEST(ParseCommandLineLogging, NologAnywhereDoesNotSilenceTheParser) {
  Parsed r = Parse({"/nolog", "/Out=1"});
  EXPECT_FALSE(r.params.LogEnabled);
  EXPECT_EQ(r.lines, (Lines{"Bad Velto output number!"}));
}

// ------------------------------------------------------------- serial port

TEST(ParseCommandLineSerial, PortWithAndWithoutEqualsSign) {
  EXPECT_EQ(Parse({"/COM=5"}).params.ConnectionString,
            "provider=SERIAL_PORT;comport=5;baudrate=9600");
  EXPECT_EQ(Parse({"/com5:115200"}).params.ConnectionString,
            "provider=SERIAL_PORT;comport=5;baudrate=115200");
  EXPECT_EQ(Parse({"/COM=3:19200"}).params.ConnectionString,
            Parse({"/COM3:19200"}).params.ConnectionString);
}

TEST(ParseCommandLineSerial, PartsAreKeptAsTyped) {
  EXPECT_EQ(Parse({"/COM=03"}).params.ConnectionString,
            "provider=SERIAL_PORT;comport=03;baudrate=9600");
  EXPECT_EQ(Parse({"/com=$a:0x2580"}).params.ConnectionString,
            "provider=SERIAL_PORT;comport=$A;baudrate=0X2580");
}

TEST(ParseCommandLineSerial, MissingPortNumber) {
  Parsed r = Parse({"/COM"});
  EXPECT_EQ(r.lines, (Lines{"Not defined COM port number!"}));
  EXPECT_FALSE(r.params.ConnectionDefined);
}

TEST(ParseCommandLineSerial, BadSettings) {
  for (const char* arg :
       {"/COM=X:9600", "/COM=5:fast", "/COM=", "/COM=:9600", "/COM=5:9600:1", "/COMMAND"}) {
    Parsed r = Parse({arg});
    EXPECT_EQ(r.lines, (Lines{"Bad COM setting"})) << arg;
    EXPECT_FALSE(r.params.ConnectionDefined) << arg;
  }
}

TEST(ParseCommandLineSerial, EmptyBaudRateMeansDefault) {
  EXPECT_EQ(Parse({"/COM=7:"}).params.ConnectionString,
            "provider=SERIAL_PORT;comport=7;baudrate=9600");
}

// ------------------------------------------------------------- USB adapter

TEST(ParseCommandLineUsb, SerialNumberUpperCased) {
  EXPECT_EQ(Parse({"/USB=ab12"}).params.ConnectionString,
            "provider=FTD_USB;serial_number=AB12;baudrate=9600");
  EXPECT_EQ(Parse({"/usbFT1X"}).params.ConnectionString,
            "provider=FTD_USB;serial_number=FT1X;baudrate=9600");
}

TEST(ParseCommandLineUsb, EmptySerialNumberAfterEqualsIsAccepted) {
  Parsed r = Parse({"/USB="});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.params.ConnectionString, "provider=FTD_USB;serial_number=;baudrate=9600");
}

TEST(ParseCommandLineUsb, MissingSerialNumber) {
  Parsed r = Parse({"/usb"});
  EXPECT_EQ(r.lines, (Lines{"Not defined USB serial number!"}));
  EXPECT_FALSE(r.params.ConnectionDefined);
}

TEST(ParseCommandLineUsb, InterfaceNumberAfterTheLastColon) {
  struct {
    const char* Arg;
    const char* Connection;
  } cases[] = {
      {"/USB=ab12:1", "provider=FTD_USB;serial_number=AB12;baudrate=9600;usb_interface=1"},
      {"/USB=AB12:0", "provider=FTD_USB;serial_number=AB12;baudrate=9600;usb_interface=0"},
      {"/USB=AB12:$0A", "provider=FTD_USB;serial_number=AB12;baudrate=9600;usb_interface=10"},
      {"/USB=A:B:2", "provider=FTD_USB;serial_number=A:B;baudrate=9600;usb_interface=2"},
  };
  for (const auto& c : cases) {
    Parsed r = Parse({c.Arg});
    EXPECT_TRUE(r.lines.empty()) << c.Arg;
    EXPECT_EQ(r.params.ConnectionString, c.Connection) << c.Arg;
  }
}

// The switch is dropped like any bad switch: a later connection still counts.
TEST(ParseCommandLineUsb, BadInterfaceNumbersAreRefused) {
  for (const char* arg : {"/USB=AB12:", "/USB=AB12:X", "/USB=AB12:-1", "/USB=AB12:256", "/USB=A:B"}) {
    Parsed r = Parse({arg, "/TCP=10.0.0.1"});
    EXPECT_EQ(r.lines, (Lines{"Bad USB interface number!"})) << arg;
    EXPECT_EQ(r.params.ConnectionString, "provider=TCP_CLIENT;host=10.0.0.1;port=10001") << arg;
  }
  // Separators are looked for first, in the interface part too.
  EXPECT_EQ(Parse({"/USB=AB12:1;active=1"}).lines, (Lines{"Bad USB serial number!"}));
}

// A separator inside the number would add keys of its own to the connection
// string; the switch is dropped, so a later connection switch still counts.
TEST(ParseCommandLineUsb, SeparatorsInTheSerialNumberAreRefused) {
  for (const char* arg : {"/USB=A1;active=1", "/USB=A1;baudrate=300", "/USB=A=B", "/USB;", "/USB==",
                          "-usb=;"}) {
    Parsed r = Parse({arg, "/TCP=10.0.0.1"});
    EXPECT_EQ(r.lines, (Lines{"Bad USB serial number!"})) << arg;
    EXPECT_EQ(r.params.ConnectionString, "provider=TCP_CLIENT;host=10.0.0.1;port=10001") << arg;
  }
  Parsed r = Parse({"/USB=X;Y"});
  EXPECT_FALSE(r.params.ConnectionDefined);
  EXPECT_EQ(r.params.ConnectionString, "");
}

// ------------------------------------------------------------- TCP client

TEST(ParseCommandLineTcp, DefaultAndGivenPort) {
  EXPECT_EQ(Parse({"/TCP=192.168.1.254"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=192.168.1.254;port=10001");
  EXPECT_EQ(Parse({"/tcp=192.168.1.254:5000"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=192.168.1.254;port=5000");
  EXPECT_EQ(Parse({"/TCP=10.0.0.1:"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=10.0.0.1;port=10001");
}

TEST(ParseCommandLineTcp, BadAddresses) {
  for (const char* arg : {"/TCP=10.0.0.256", "/TCP=", "/TCP=:10001", "/TCP=10.0.0",
                          "/TCP=1.2.3.4.5", "/TCP=localhost", "/TCP=1..2.3", "/TCP=-1.0.0.1"}) {
    Parsed r = Parse({arg});
    EXPECT_EQ(r.lines, (Lines{"Bad IP address!"})) << arg;
    EXPECT_FALSE(r.params.ConnectionDefined) << arg;
  }
}

TEST(ParseCommandLineTcp, TcpWithoutEqualsIsNotTheSwitch) {
  EXPECT_EQ(Parse({"/TCP10.0.0.1"}).lines, (Lines{"Bad argument:'/TCP10.0.0.1'!"}));
}

// A bad port drops the switch, like any other malformed switch.
TEST(ParseCommandLineTcp, BadPortDoesNotDeclareTheConnection) {
  Parsed r = Parse({"/TCP=10.0.0.1:http"});
  EXPECT_EQ(r.lines, (Lines{"Bad TCP port!"}));
  EXPECT_FALSE(r.params.ConnectionDefined);
  EXPECT_EQ(r.params.ConnectionString, "");
}

// A port outside 0..65535 would reach the socket cut to 16 bits (70000 -> 4464).
TEST(ParseCommandLineTcp, PortOutsideThePortRangeIsBad) {
  for (const char* arg : {"/TCP=10.0.0.1:70000", "/TCP=10.0.0.1:-1", "/TCP=10.0.0.1:65536"}) {
    Parsed r = Parse({arg});
    EXPECT_EQ(r.lines, (Lines{"Bad TCP port!"})) << arg;
    EXPECT_FALSE(r.params.ConnectionDefined) << arg;
  }
  EXPECT_EQ(Parse({"/TCP=10.0.0.1:65535"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=10.0.0.1;port=65535");
}

TEST(ParseCommandLineTcp, LaterConnectionAcceptedAfterBadPort) {
  Parsed r = Parse({"/TCP=10.0.0.1:http", "/COM=2"});
  EXPECT_EQ(r.lines, (Lines{"Bad TCP port!"}));
  EXPECT_EQ(r.params.ConnectionString, "provider=SERIAL_PORT;comport=2;baudrate=9600");
}

// The host reaches the socket layer as plain dotted decimal, whatever form was typed.
TEST(ParseCommandLineTcp, HostWrittenAsPlainDottedDecimal) {
  EXPECT_EQ(Parse({"/TCP=0x7F.0.0.1"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=127.0.0.1;port=10001");
  EXPECT_EQ(Parse({"/TCP=010.001.000.$FF:80"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=10.1.0.255;port=80");
  EXPECT_EQ(Parse({"/TCP=+1.-0. 2.3"}).params.ConnectionString,
            "provider=TCP_CLIENT;host=1.0.2.3;port=10001");
}

// ------------------------------------------------------------- redeclaration

TEST(ParseCommandLineRedeclared, FirstValidConnectionStays) {
  Parsed r = Parse({"/COM=1", "/TCP=10.0.0.1"});
  EXPECT_EQ(r.lines, (Lines{"Connection redeclared!"}));
  EXPECT_EQ(r.params.ConnectionString, "provider=SERIAL_PORT;comport=1;baudrate=9600");
  r = Parse({"/USB=X", "/COM=1", "/USB=Y"});
  EXPECT_EQ(r.lines, (Lines{"Connection redeclared!", "Connection redeclared!"}));
  EXPECT_EQ(r.params.ConnectionString, "provider=FTD_USB;serial_number=X;baudrate=9600");
}

TEST(ParseCommandLineRedeclared, MalformedSecondSwitchReportsItsOwnFault) {
  Parsed r = Parse({"/COM=1", "/TCP=10.0.0.300", "/COM=x", "/COM", "/USB", "/TCP=1.2.3.4:p"});
  EXPECT_EQ(r.lines, (Lines{"Bad IP address!", "Bad COM setting", "Not defined COM port number!",
                            "Not defined USB serial number!", "Bad TCP port!"}));
  EXPECT_EQ(r.params.ConnectionString, "provider=SERIAL_PORT;comport=1;baudrate=9600");
}

// ------------------------------------------------------------- device address

TEST(ParseCommandLineAddress, SingleCharacterKeepsItsCase) {
  EXPECT_EQ(Parse({"/Address=1"}).params.Address, 49);
  EXPECT_EQ(Parse({"/Address=A"}).params.Address, 65);
  EXPECT_EQ(Parse({"/ADDRESS=a"}).params.Address, 97);
}

TEST(ParseCommandLineAddress, HashAndNumberTakesTheLowByte) {
  EXPECT_EQ(Parse({"/Address=#65"}).params.Address, 65);
  EXPECT_EQ(Parse({"/Address=#$31"}).params.Address, 49);
  EXPECT_EQ(Parse({"/Address=#300"}).params.Address, 44);
  EXPECT_EQ(Parse({"/Address=#-1"}).params.Address, 255);
  EXPECT_EQ(Parse({"/Address=#"}).params.Address, '#');  // one character
}

TEST(ParseCommandLineAddress, BadAddressKeepsThePreviousOne) {
  Parsed r = Parse({"/Address=#7", "/Address=12", "/Address=", "/Address=#x", "/Address=ab"});
  EXPECT_EQ(r.lines, Lines(4, "Bad device address!"));
  EXPECT_EQ(r.params.Address, 7);
  EXPECT_EQ(Parse({"/Address=12"}).params.Address, 0xFE);
}

TEST(ParseCommandLineAddress, LastValidWins) {
  EXPECT_EQ(Parse({"/Address=1", "/Address=#2", "/Address=zz"}).params.Address, 2);
}

TEST(ParseDeviceAddressTest, Direct) {
  std::uint8_t a = 5;
  EXPECT_FALSE(ParseDeviceAddress("", a));
  EXPECT_FALSE(ParseDeviceAddress("#+", a));
  EXPECT_EQ(a, 5);
  EXPECT_TRUE(ParseDeviceAddress("\xE9", a));
  EXPECT_EQ(a, 0xE9);
  EXPECT_TRUE(ParseDeviceAddress("#0x1FF", a));
  EXPECT_EQ(a, 0xFF);
}

// ------------------------------------------------------------- outputs

TEST(ParseCommandLineOutputs, UntimedAndTimedCommands) {
  Parsed r = Parse({"/Out2=on", "/OUT2=Off:3s", "/Out2=1:7", "/out10=FALSE:0", "/Out3=true:0s"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.params.Outputs, (TQOutputs{{2, true, 0, false},
                                         {2, false, 6, true},
                                         {2, true, 7, true},
                                         {10, false, 0, true},
                                         {3, true, 0, true}}));
}

TEST(ParseCommandLineOutputs, AllSixValueWords) {
  Parsed r = Parse({"/Out1=1", "/Out1=on", "/Out1=True", "/Out1=0", "/Out1=oFF", "/Out1=false"});
  ASSERT_EQ(r.params.Outputs.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(r.params.Outputs[i].Value, i < 3) << i;
}

TEST(ParseCommandLineOutputs, NumberIsNotCheckedAgainstTheDevice) {
  Parsed r = Parse({"/Out0=1", "/Out-3=1", "/Out$10=1"});
  EXPECT_TRUE(r.lines.empty());
  ASSERT_EQ(r.params.Outputs.size(), 3u);
  EXPECT_EQ(r.params.Outputs[1].Number, -3);
  EXPECT_EQ(r.params.Outputs[2].Number, 16);
}

TEST(ParseCommandLineOutputs, BadNumber) {
  Parsed r = Parse({"/Out=1", "/Out1", "/OutX=1", "/Output1=1"});
  EXPECT_EQ(r.lines, Lines(4, "Bad Velto output number!"));
  EXPECT_TRUE(r.params.Outputs.empty());
}

TEST(ParseCommandLineOutputs, BadValue) {
  Parsed r = Parse({"/Out2=yes", "/Out2=", "/Out2=:5s", "/Out2=2"});
  EXPECT_EQ(r.lines, Lines(4, "Bad Velto output value"));
  EXPECT_TRUE(r.params.Outputs.empty());
}

TEST(ParseCommandLineOutputs, BadTime) {
  Parsed r = Parse({"/Out2=1:-1", "/Out2=1:s", "/Out2=1:5m", "/Out2=1:-2s", "/Out2=1:5 s"});
  EXPECT_EQ(r.lines, Lines(5, "Bad Velto output time"));
  EXPECT_TRUE(r.params.Outputs.empty());
}

TEST(ParseCommandLineOutputs, TimeInHexAndLowerCaseSeconds) {
  Parsed r = Parse({"/Out1=on:$10", "/Out1=on:0x10s"});
  ASSERT_EQ(r.params.Outputs.size(), 2u);
  EXPECT_EQ(r.params.Outputs[0].Time, 16);
  EXPECT_EQ(r.params.Outputs[1].Time, 32);
}

// A time the module cannot hold in its one byte would wrap (400 half-seconds
// reach it as 144, 256 as 0 = permanently), so it is refused here.
TEST(ParseCommandLineOutputs, TimeAboveOneByteIsRefused) {
  Parsed r = Parse({"/Out1=1:128s", "/Out1=1:200s", "/Out1=1:300", "/Out1=1:256",
                    "/Out1=1:1073741824s", "/Out1=1:2147483647"});
  EXPECT_EQ(r.lines, Lines(6, "Bad Velto output time"));
  EXPECT_TRUE(r.params.Outputs.empty());
}

TEST(ParseCommandLineOutputs, LongestTimesAreAccepted) {
  Parsed r = Parse({"/Out1=1:255", "/Out1=1:127s"});
  EXPECT_TRUE(r.lines.empty());
  ASSERT_EQ(r.params.Outputs.size(), 2u);
  EXPECT_EQ(r.params.Outputs[0].Time, 255);
  EXPECT_EQ(r.params.Outputs[1].Time, 254);
}

TEST(ParseCommandLineOutputs, DuplicatesKeptInOrder) {
  Parsed r = Parse({"/Out1=1", "/Out1=0", "/Out1=1"});
  ASSERT_EQ(r.params.Outputs.size(), 3u);
  EXPECT_TRUE(r.params.Outputs[0].Value);
  EXPECT_FALSE(r.params.Outputs[1].Value);
  EXPECT_TRUE(r.params.Outputs[2].Value);
}

// ------------------------------------------------------------- exit-code inputs

TEST(ParseCommandLineInputs, BothSeparatorsAndEmptyItems) {
  Parsed r = Parse({"/ErrorCode=In1;in3,,IN5"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(InputNumbers(r.params), (std::vector<std::int32_t>{1, 3, 5}));
}

TEST(ParseCommandLineInputs, BadItemSkippedAlone) {
  Parsed r = Parse({"/ErrorCode=In1,X2,In4"});
  EXPECT_EQ(r.lines, (Lines{"Bad ErrorCode Velto input value!"}));
  EXPECT_EQ(InputNumbers(r.params), (std::vector<std::int32_t>{1, 4}));
}

TEST(ParseCommandLineInputs, ItemsTrimmedAndNumbersInAnyForm) {
  Parsed r = Parse({"/ErrorCode= In2 , in$A ;IN0;In-1"});
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(InputNumbers(r.params), (std::vector<std::int32_t>{2, 10, 0, -1}));
}

TEST(ParseCommandLineInputs, EveryBadItemReported) {
  Parsed r = Parse({"/ErrorCode=In,Inx,1,Input2"});
  EXPECT_EQ(r.lines, Lines(4, "Bad ErrorCode Velto input value!"));
  EXPECT_TRUE(r.params.Inputs.empty());
}

TEST(ParseCommandLineInputs, SwitchesAppendWithoutLimit) {
  std::vector<std::string> args;
  for (int i = 1; i <= 20; ++i) args.push_back("/ErrorCode=In" + std::to_string(i % 3));
  args.push_back("/errorcode=");
  Parsed r = Parse(args);
  EXPECT_TRUE(r.lines.empty());
  ASSERT_EQ(r.params.Inputs.size(), 20u);
  EXPECT_EQ(r.params.Inputs[19].Number, 2);
}

TEST(ParseCommandLineInputs, ErrorCodeWithoutEqualsIsNotTheSwitch) {
  EXPECT_EQ(Parse({"/ErrorCode"}).lines, (Lines{"Bad argument:'/ErrorCode'!"}));
}

// ------------------------------------------------------------- IPv4 helper

TEST(IsIPv4AddressTest, ExactlyFourPartsEachAByte) {
  EXPECT_TRUE(IsIPv4Address("0.0.0.0"));
  EXPECT_TRUE(IsIPv4Address("255.255.255.255"));
  EXPECT_FALSE(IsIPv4Address("256.1.1.1"));
  EXPECT_FALSE(IsIPv4Address("1.1.1.256"));
  EXPECT_FALSE(IsIPv4Address("1.1.1"));
  EXPECT_FALSE(IsIPv4Address("1.1.1.1."));
  EXPECT_FALSE(IsIPv4Address("1.1.1.1.1"));
  EXPECT_FALSE(IsIPv4Address(""));
  EXPECT_FALSE(IsIPv4Address("a.b.c.d"));
}

TEST(IsIPv4AddressTest, GivesTheFourValues) {
  std::array<std::uint8_t, 4> v{9, 9, 9, 9};
  ASSERT_TRUE(IsIPv4Address("$C0.0xA8.001.254", v));
  EXPECT_EQ(v, (std::array<std::uint8_t, 4>{192, 168, 1, 254}));
  EXPECT_FALSE(IsIPv4Address("1.2.3.999", v));
  EXPECT_EQ(v, (std::array<std::uint8_t, 4>{192, 168, 1, 254})) << "unchanged on failure";
}

}  // namespace
