// The process-wide device list and its change announcements.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "protocol/uTervanStackDevice.h"
#include "protocol/uTervanStackDeviceList.h"

namespace {

// Records each announced list as the objects it held.
class TListWatcher {
 public:
  TListWatcher() { DeviceListChanged().AddHandler(Handler()); }
  ~TListWatcher() { DeviceListChanged().RemoveHandler(Handler()); }
  TListWatcher(const TListWatcher&) = delete;
  TListWatcher& operator=(const TListWatcher&) = delete;

  void Changed(TInterfaceList list) {
    std::vector<const void*> objects;
    for (const auto& entry : list) objects.push_back(ObjectOf(entry.get()));
    Lists.push_back(objects);
  }

  std::vector<std::vector<const void*>> Lists;

 private:
  TevnterTervanDeviceListChanged::THandler Handler() {
    return TevnterTervanDeviceListChanged::THandler::Of<&TListWatcher::Changed>(this);
  }
};

const void* Obj(const TIntf<TTervanStackDevice>& d) {
  return ObjectOf(static_cast<IInterface*>(static_cast<ITervanStackDevice*>(d.get())));
}

std::vector<const void*> RegistryObjects() {
  std::vector<const void*> objects;
  for (TTervanStackDevice* d : DeviceRegistry())
    objects.push_back(ObjectOf(static_cast<IInterface*>(static_cast<ITervanStackDevice*>(d))));
  return objects;
}

TEST(DeviceListTest, CreationAndDestructionAreAnnouncedWithTheDevicesPresent) {
  const auto before = RegistryObjects();
  TListWatcher watcher;
  auto first = Make<TTervanStackDevice>(0x31);
  auto second = Make<TTervanStackDevice>(0x32);
  ASSERT_EQ(watcher.Lists.size(), 2u);
  auto expected1 = before;
  expected1.push_back(Obj(first));
  auto expected2 = expected1;
  expected2.push_back(Obj(second));
  EXPECT_EQ(watcher.Lists[0], expected1);
  EXPECT_EQ(watcher.Lists[1], expected2);

  const void* secondObj = Obj(second);
  first.reset();
  ASSERT_EQ(watcher.Lists.size(), 3u);
  auto expected3 = before;
  expected3.push_back(secondObj);
  EXPECT_EQ(watcher.Lists[2], expected3);
  EXPECT_EQ(RegistryObjects(), expected3);
  second.reset();
  EXPECT_EQ(RegistryObjects(), before);
}

TEST(DeviceListTest, DerivedDevicesAreListedToo) {
  class TOwnDevice : public TTervanStackDevice {
   public:
    TOwnDevice() : TTervanStackDevice(0x40) {}
  };
  const auto before = RegistryObjects();
  auto d = Make<TOwnDevice>();
  auto now = RegistryObjects();
  ASSERT_EQ(now.size(), before.size() + 1);
  EXPECT_EQ(now.back(),
            ObjectOf(static_cast<IInterface*>(static_cast<ITervanStackDevice*>(d.get()))));
}

class TThrowingWatcher {
 public:
  void Changed(TInterfaceList) {
    ++Calls;
    throw std::runtime_error("watcher failed");
  }
  int Calls = 0;
};

TEST(DeviceListTest, FailingHandlerStopsNeitherConstructionNorDestruction) {
  TThrowingWatcher bad;
  auto handler = TevnterTervanDeviceListChanged::THandler::Of<&TThrowingWatcher::Changed>(&bad);
  DeviceListChanged().AddHandler(handler);
  const auto before = RegistryObjects();
  {
    TListWatcher after;  // added behind the failing one: still told
    auto d = Make<TTervanStackDevice>(0x31);
    EXPECT_EQ(d->GetAddress(), 0x31);
    EXPECT_EQ(RegistryObjects().size(), before.size() + 1);
    d.reset();
    EXPECT_EQ(after.Lists.size(), 2u);
  }
  DeviceListChanged().RemoveHandler(handler);
  EXPECT_EQ(bad.Calls, 2);
  EXPECT_EQ(RegistryObjects(), before);
}

TEST(DeviceListTest, WithoutHandlersOnlyTheRegistryChanges) {
  ASSERT_EQ(DeviceListChanged().HandlerCount(), 0u);
  const auto before = RegistryObjects();
  auto d = Make<TTervanStackDevice>(0x31);
  EXPECT_EQ(RegistryObjects().size(), before.size() + 1);
  d.reset();
  EXPECT_EQ(RegistryObjects(), before);
}

TEST(DeviceListTest, AnnouncedListDoesNotKeepDevicesAlive) {
  const std::int32_t live = LiveNodeCount();
  {
    TListWatcher watcher;
    auto d = Make<TTervanStackDevice>(0x31);
    EXPECT_EQ(d->RefCount(), 1);
  }
  EXPECT_EQ(LiveNodeCount(), live);
}

}  // namespace
