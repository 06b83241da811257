// Sizes and layouts that the kernel calls, the D2XX library and byte handling
// rely on, checked on every architecture the project builds for: 32-bit ARM
// has a 32-bit long (and a 32-bit time_t unless asked otherwise), ARM's char
// is unsigned.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "framework/uBytes.h"
#include "framework/uStrUtils.h"
#include "transport/serial/AfLineRecord.h"
#include "transport/usb/uci_FTDIdirect.h"

namespace {

TEST(PlatformLayoutTest, TimeAndFileOffsetsAreSixtyFourBitOnEveryArchitecture) {
  // With a 32-bit time_t every deadline and date goes wrong in January 2038.
  EXPECT_EQ(sizeof(time_t), 8u);
  EXPECT_EQ(sizeof(timespec{}.tv_sec), 8u);
  EXPECT_EQ(sizeof(off_t), 8u);
  struct stat info {};
  EXPECT_EQ(sizeof(info.st_size), 8u);

  // A date past 2038 survives a round trip through the C library.
  const time_t later = static_cast<time_t>(4102444800LL);  // 2100-01-01 00:00:00 UTC
  tm broken{};
  ASSERT_NE(gmtime_r(&later, &broken), nullptr);
  EXPECT_EQ(broken.tm_year, 200);
  EXPECT_EQ(timegm(&broken), later);
}

TEST(PlatformLayoutTest, TheD2xxInterfaceKeepsThirtyTwoBitStatusAndCounts) {
  // The library's status and counts are 32-bit unsigned on Linux whatever
  // the size of long; its handle is a pointer.
  EXPECT_EQ(sizeof(FT_STATUS), 4u);
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(sizeof(UCHAR), 1u);
  EXPECT_EQ(sizeof(FT_HANDLE), sizeof(void*));
  // The event structure it signals: condition variable, mutex, int flags.
  EXPECT_EQ(offsetof(TD2xxEventHandle, Cond), 0u);
  EXPECT_EQ(offsetof(TD2xxEventHandle, Mutex), sizeof(pthread_cond_t));
  EXPECT_EQ(offsetof(TD2xxEventHandle, Flags), sizeof(pthread_cond_t) + sizeof(pthread_mutex_t));
}

TEST(PlatformLayoutTest, TheLineRecordKeepsItsLayout) {
  EXPECT_EQ(sizeof(TAfLineRecord), 28u);
  EXPECT_EQ(offsetof(TAfLineRecord, BaudRate), 4u);
  EXPECT_EQ(offsetof(TAfLineRecord, Flags), 8u);
  EXPECT_EQ(offsetof(TAfLineRecord, ByteSize), 18u);
  EXPECT_EQ(offsetof(TAfLineRecord, XonChar), 21u);
  EXPECT_EQ(offsetof(TAfLineRecord, Reserved1), 26u);
}

// Bytes from 0x80 up are negative in a signed char (x86) and large in an
// unsigned one (ARM): text handling must give the same on both.
TEST(PlatformLayoutTest, BytesFromEightyUpAreHandledAlikeWhateverTheSignOfChar) {
  const std::string high = "\x7F\x80\xA0\xE9\xFF";
  EXPECT_EQ(HexOf(BytesOf(high)), "7F 80 A0 E9 FF");
  EXPECT_EQ(TextOf(BytesFromHex("7F 80 A0 E9 FF")), high);
  EXPECT_EQ(UpperCase("a\xE9z\xFF"), "A\xE9Z\xFF");
  EXPECT_EQ(LowerCase("A\xC9Z\x80"), "a\xC9z\x80");
  EXPECT_TRUE(SameText("\xE9x", "\xE9X"));
  EXPECT_FALSE(SameText("\xE9", "\xC9"));
  // Only control characters and blanks are trimmed, not bytes from 0x80 up.
  EXPECT_EQ(TrimControl("\x01 \xA0x\xFF \x7F"), "\xA0x\xFF \x7F");
  std::int32_t value = 7;
  EXPECT_FALSE(TryParseInt("1\xB2", value));
  EXPECT_FALSE(TryParseInt("\xFF", value));
  EXPECT_EQ(value, 7);
}

}  // namespace
