#include "protocol/uTervanStackDeviceList.h"

#include <algorithm>
#include <mutex>

#include "protocol/uTervanStackDevice.h"

namespace {

// Never freed: devices with static lifetime may report after other statics are gone.
struct TDeviceList {
  // Recursive: a handler may create or destroy a device while it is told.
  std::recursive_mutex Lock;
  std::vector<TTervanStackDevice*> Devices;
  TevnterTervanDeviceListChanged Changed;
};

TDeviceList& List() {
  static auto* list = new TDeviceList();
  return *list;
}

// Caller holds the list's lock, so no listed device can finish its
// destruction while the list of references is built and announced.
void Announce(TDeviceList& list) {
  TInterfaceList present;
  present.reserve(list.Devices.size());
  for (TTervanStackDevice* device : list.Devices)
    present.emplace_back(static_cast<ITervanStackDevice*>(device));
  list.Changed.Fire(present);
}

}  // namespace

std::vector<TTervanStackDevice*> DeviceRegistry() {
  TDeviceList& list = List();
  std::lock_guard<std::recursive_mutex> guard(list.Lock);
  return list.Devices;
}

TevnterTervanDeviceListChanged& DeviceListChanged() {
  return List().Changed;
}

void OnDeviceCreated(TTervanStackDevice* device) {
  if (device == nullptr) return;
  TDeviceList& list = List();
  std::lock_guard<std::recursive_mutex> guard(list.Lock);
  list.Devices.push_back(device);
  Announce(list);
}

void OnDeviceDestroyed(TTervanStackDevice* device) {
  TDeviceList& list = List();
  std::lock_guard<std::recursive_mutex> guard(list.Lock);
  auto it = std::find(list.Devices.begin(), list.Devices.end(), device);
  if (it != list.Devices.end()) list.Devices.erase(it);
  Announce(list);
}
