// The USB transport's two paths: the D2XX library when it serves the
// adapter, else the kernel's serial device found in a sysfs tree of the real
// layout, here a pseudo-terminal standing in for the adapter's tty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "support/uEmulation.h"
#include "support/uFakeSysfs.h"
#include "transport/serial/uPtyPair.h"
#include "transport/usb/uFakeAdapter.h"
#include "transport/usb/uci_USBadapter.h"

namespace {

const TBytes kRequest{0x2A, 0x61, 0x00, 0x05, 0x31, 0x00, 0x31, 0x0D, 0x0D};
const TBytes kAnswer{0x2A, 0x61, 0x00, 0x07, 0x31, 0x00, 0x00, 0x00, 0x05, 0x37, 0x0D};

// Nobody holds the device's lock: the port on it has been closed.
bool DeviceFree(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

class UsbAdapterTest : public FakeAdapterTest {
 protected:
  void SetUp() override {
    FakeAdapterTest::SetUp();
    ASSERT_TRUE(FPty.Ok());
  }
  void TearDown() override {
    // A port closed on a thread of its own (its transport went on the port's
    // thread) is done before the next test or the process's end.
    EndUsbTtyCloses(10000);
    unsetenv("FAKE_D2XX_OPENED");
    setenv("VELTO_D2XX_LIBRARY", FakeLibraryPath().c_str(), 1);
    FakeAdapterTest::TearDown();
  }

  // The adapter `serial` with its one port on the pseudo-terminal.
  void PtyAdapter(const std::string& serial) {
    FSys.AddPort(FSys.AddAdapter("1-1", serial), 0, "ttyUSB0", DevNameOf(FPty.SlavePath()));
  }
  static TIntf<TUsbAdapterDevice> Adapter(const std::string& serial,
                                          const std::string& more = std::string()) {
    return Make<TUsbAdapterDevice>("provider=FTD_USB;serial_number=" + serial +
                                   ";baudrate=9600" + more);
  }
  // A request out and an answer back over the open transport.
  void Exchange(TUsbAdapterDevice& t) {
    EXPECT_EQ(t.Write(kRequest), static_cast<std::int32_t>(kRequest.size()));
    EXPECT_EQ(FPty.Receive(kRequest.size(), 5000), kRequest);
    ASSERT_TRUE(FPty.Send(kAnswer));
    TBytes got;
    while (got.size() < kAnswer.size() && t.WaitReceived(5000)) {
      TBytes part;
      t.Read(part);
      got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, kAnswer);
  }

  TFakeSysfs FSys;
  TPtyPair FPty{97};
};

// The library is there but knows another adapter; the kernel's device of
// the right one is used, whatever the letter case of its serial number.
TEST_F(UsbAdapterTest, FallsBackToTheKernelDeviceWhenTheLibraryNamesAnotherAdapter) {
  Own("OTHER1", FListener);
  PtyAdapter("Sim1");
  auto t = Adapter("SIM1");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_EQ(t->GetPath(), TUsbAdapterDevice::TPath::KernelTty);
  EXPECT_EQ(t->GetTtyPath(), FPty.SlavePath());
  EXPECT_EQ(t->GetDescription(), "SIM1 (" + FPty.SlavePath() + ")");
  EXPECT_EQ(t->GetLastError(), "");
  EXPECT_NEAR(t->GetByteTime(), 10000.0 / 9600, 1e-9);
  Exchange(*t);
  EXPECT_TRUE(t->Close(false));
  EXPECT_EQ(t->GetPath(), TUsbAdapterDevice::TPath::Closed);
  EXPECT_EQ(t->GetDescription(), "SIM1");
}

// A tty keeps what its last user left: every setting is made at open.
TEST_F(UsbAdapterTest, KernelDeviceGetsEverySettingAtOpen) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  // Another program left the line cooked, echoing, at 2400 baud.
  const int other = open(FPty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  termios left{};
  ASSERT_EQ(tcgetattr(other, &left), 0);
  left.c_lflag |= ICANON | ECHO | ISIG;
  left.c_iflag |= ICRNL | IXON;
  left.c_oflag |= OPOST | ONLCR;
  cfsetispeed(&left, B2400);
  cfsetospeed(&left, B2400);
  ASSERT_EQ(tcsetattr(other, TCSANOW, &left), 0);
  auto t = Adapter("SIM1");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  termios now{};
  ASSERT_EQ(tcgetattr(other, &now), 0);
  close(other);
  EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B9600));
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(now.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(now.c_oflag & OPOST, 0u);
  EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB), 0u);
  // A rate set while open reaches the line, and the character time follows.
  t->SetBaudRate(19200);
  termios changed{};
  const int again = open(FPty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (again >= 0) {  // an ordinary user is kept out by the exclusive use
    ASSERT_EQ(tcgetattr(again, &changed), 0);
    close(again);
    EXPECT_EQ(cfgetospeed(&changed), static_cast<speed_t>(B19200));
  }
  EXPECT_EQ(t->GetBaudRate(), 19200);
  EXPECT_NEAR(t->GetByteTime(), 10000.0 / 19200, 1e-9);
}

// The library's "cannot open" (the kernel's driver holds the adapter) too.
TEST_F(UsbAdapterTest, FallsBackWhenTheLibraryCannotOpenTheAdapter) {
  Fail("open=3");
  PtyAdapter("SIM1");
  auto t = Adapter("SIM1");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_EQ(t->GetPath(), TUsbAdapterDevice::TPath::KernelTty);
  Exchange(*t);
}

TEST_F(UsbAdapterTest, LibraryServingTheAdapterKeepsTheD2xxPath) {
  PtyAdapter("SIM1");  // the same adapter on the kernel's side is not used
  auto t = Adapter("SIM1");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  FPeer = FListener.Accept(10000);
  ASSERT_TRUE(FPeer.Valid());
  EXPECT_EQ(t->GetPath(), TUsbAdapterDevice::TPath::D2xx);
  EXPECT_EQ(t->GetDescription(), "SIM1 (D2XX)");
  EXPECT_EQ(t->GetTtyPath(), "");
  EXPECT_EQ(t->Write(kRequest), static_cast<std::int32_t>(kRequest.size()));
  EXPECT_EQ(FPeer.ReceiveExactly(kRequest.size(), 5000), kRequest);
}

TEST_F(UsbAdapterTest, InterfaceKeyChoosesThePort) {
  TPtyPair second(98);
  ASSERT_TRUE(second.Ok());
  const std::string a = FSys.AddAdapter("1-1", "DUAL1");
  FSys.AddPort(a, 0, "ttyUSB0", DevNameOf(second.SlavePath()));
  FSys.AddPort(a, 1, "ttyUSB1", DevNameOf(FPty.SlavePath()));
  auto t = Adapter("DUAL1", ";usb_interface=1");
  EXPECT_EQ(t->GetInterface(), 1);
  EXPECT_NE(t->GetConnectionString().find(";usb_interface=1"), std::string::npos);
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_EQ(t->GetTtyPath(), FPty.SlavePath());
  Exchange(*t);
  // Changed while open: opened again on the other port.
  t->SetConnectionString("usb_interface=0");
  EXPECT_TRUE(t->GetActive());
  EXPECT_EQ(t->GetTtyPath(), second.SlavePath());
  EXPECT_THROW(t->SetConnectionString("usb_interface=two"), EConvertError);
}

// A new serial number on an open transport: closed, and opened again on the
// kernel's device of that adapter.
TEST_F(UsbAdapterTest, NewSerialNumberReopensOnItsDevice) {
  TPtyPair second(98);
  ASSERT_TRUE(second.Ok());
  PtyAdapter("SIM2");
  FSys.AddPort(FSys.AddAdapter("1-2", "SIM3"), 0, "ttyUSB1", DevNameOf(second.SlavePath()));
  TArrivals arrivals;
  auto t = Adapter("SIM2");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  arrivals.Attach(*t);
  t->SetConnectionString("serial_number=SIM3");
  EXPECT_TRUE(arrivals.WaitClosed());
  EXPECT_TRUE(t->GetActive()) << t->GetLastError();
  EXPECT_EQ(t->GetDescription(), "SIM3 (" + second.SlavePath() + ")");
}

// Neither path can open the adapter: one line says what each met. (A library
// that cannot be loaded is a process's state: the program's tests show it.)
TEST_F(UsbAdapterTest, FailureLineSaysWhatEachPathFound) {
  struct TCase {
    const char* Name;
    std::function<void(TFakeSysfs&)> Prepare;
    const char* Serial;
    std::string Expected;
  } cases[] = {
      {"another adapter", [](TFakeSysfs&) {}, "AB12",
       "USB adapter AB12: the D2XX library lists no adapter with that serial number (found: "
       "SIM1); no serial device with that USB serial number (found: none)"},
      {"in use",
       [](TFakeSysfs&) { setenv("FAKE_D2XX_OPENED", "AB12", 1); }, "AB12",
       "USB adapter AB12: in use by another program (the D2XX library lists it as open); no "
       "serial device with that USB serial number (found: none)"},
      {"two adapters",
       [](TFakeSysfs& f) {
         f.AddPort(f.AddAdapter("1-3", "AB12"), 0, "ttyUSB0", "ttyUSB0");
         f.AddPort(f.AddAdapter("1-4", "ab12"), 0, "ttyUSB1", "ttyUSB1");
       },
       "AB12",
       "USB adapter AB12: the D2XX library lists no adapter with that serial number (found: "
       "SIM1); 2 adapters have that USB serial number (/dev/ttyUSB0, /dev/ttyUSB1); none is "
       "opened, so that the wrong one is never driven"},
      {"no device node",
       [](TFakeSysfs& f) {
         f.AddPort(f.AddAdapter("1-3", "AB12"), 0, "ttyUSB0", "velto-no-such-tty0");
       },
       "AB12",
       "USB adapter AB12: the D2XX library lists no adapter with that serial number (found: "
       "SIM1); /dev/velto-no-such-tty0: no such device"},
      {"not a tty",
       [](TFakeSysfs& f) { f.AddPort(f.AddAdapter("1-3", "AB12"), 0, "ttyUSB0", "null"); },
       "AB12",
       "USB adapter AB12: the D2XX library lists no adapter with that serial number (found: "
       "SIM1); /dev/null: not a serial device"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeSysfs sys;  // each case its own tree, in place of the fixture's
    c.Prepare(sys);
    auto t = Adapter(c.Serial);
    EXPECT_FALSE(t->Open());
    EXPECT_EQ(t->GetLastError(), c.Expected);
    EXPECT_EQ(t->GetPath(), TUsbAdapterDevice::TPath::Closed);
    unsetenv("FAKE_D2XX_OPENED");
    setenv("VELTO_D2XX_LIBRARY", FakeLibraryPath().c_str(), 1);
  }
}

// The kernel's device held by another program is reported as in use.
TEST_F(UsbAdapterTest, KernelDeviceHeldByAnotherProgram) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  const int other = open(FPty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  auto t = Adapter("SIM1");
  EXPECT_FALSE(t->Open());
  EXPECT_EQ(t->GetLastError(),
            "USB adapter SIM1: the D2XX library lists no adapter with that serial number (found: "
            "OTHER1); " + FPty.SlavePath() + " is held by process " + std::to_string(getpid()) +
                " (" + KernelProcessName("test_transport") + ")");
  // The kernel's path takes a wait for a held device, and writes it back.
  t->SetConnectionString("portwait=60000");
  EXPECT_NE(t->GetConnectionString().find(";portwait=60000"), std::string::npos);
  close(other);
  EXPECT_TRUE(t->Open()) << t->GetLastError();
}

// Bytes that come outside an exchange are announced from the port's own
// thread, as the D2XX receive thread does.
TEST_F(UsbAdapterTest, ArrivalsAreAnnouncedWithoutAnExchange) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  TArrivals arrivals;  // outlives the transport, which announces closing as it goes
  auto t = Adapter("SIM1");
  arrivals.Attach(*t);
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  ASSERT_TRUE(FPty.Send(kAnswer));
  ASSERT_TRUE(arrivals.WaitBytes(kAnswer.size()));
  {
    std::lock_guard<std::mutex> guard(arrivals.Lock);
    EXPECT_EQ(arrivals.Bytes, kAnswer);
    EXPECT_NE(arrivals.Thread, std::this_thread::get_id());
  }
  // The port's thread may hold the last reference for a moment and close the
  // transport there: the handlers must outlive that announcement.
  t.reset();
  EXPECT_TRUE(arrivals.WaitClosed());
}

// The handler on the port's thread drops the last reference: the transport
// goes, and its port is closed on another thread (its own cannot).
TEST_F(UsbAdapterTest, HandlerDroppingTheLastReferenceOnThePortThread) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  struct TDropper {
    TIntf<TUsbAdapterDevice> Held;
    std::atomic<bool> Dropped{false};
    void OnData(TIntf<ICommunicationInterface> sender) {
      TBytes part;
      sender->Read(part);
      Held.reset();
      Dropped = true;
    }
  } dropper;
  dropper.Held = Adapter("SIM1");
  dropper.Held->SetOnDataReceived(TCiNotifyHandler::Of<&TDropper::OnData>(&dropper));
  ASSERT_TRUE(dropper.Held->Open()) << dropper.Held->GetLastError();
  ASSERT_TRUE(FPty.Send(kAnswer));
  ASSERT_TRUE(Eventually([&] { return dropper.Dropped.load(); }));
  EndUsbTtyCloses(10000);
  EXPECT_TRUE(Eventually([&] { return DeviceFree(FPty.SlavePath()); }));
}

// A wait for bytes holds nothing that closing needs: a close from another
// thread goes through at once and ends the wait.
TEST_F(UsbAdapterTest, CloseDuringAWaitForBytes) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  auto t = Adapter("SIM1");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  std::atomic<bool> waited{false};
  std::thread waiter([&] {
    EXPECT_FALSE(t->WaitReceived(60000));
    waited = true;
  });
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_TRUE(t->Close(false));
    closed = true;
  });
  EXPECT_TRUE(Eventually([&] { return closed.load() && waited.load(); }));
  closer.join();
  waiter.join();
  // Closed, it does not wait at all.
  EXPECT_FALSE(t->WaitReceived(60000));
}

TEST_F(UsbAdapterTest, DeviceThatGoesAwayClosesTheTransport) {
  Own("OTHER1", FListener);
  PtyAdapter("SIM1");
  TArrivals arrivals;  // outlives the transport, which announces closing as it goes
  auto t = Adapter("SIM1");
  arrivals.Attach(*t);
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  FPty.CloseMaster();
  ASSERT_TRUE(Eventually([&] {
    t->WaitReceived(100);
    return !t->GetActive();
  }));
  EXPECT_TRUE(arrivals.WaitClosed());
  EXPECT_EQ(t->GetLastError(),
            "USB adapter SIM1: " + FPty.SlavePath() + ": the device has gone (unplugged or hung up)");
}

}  // namespace
