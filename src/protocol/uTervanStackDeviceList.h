// The process-wide list of every protocol device object alive, whatever stack
// it is on, and the announcement of its changes.
#pragma once

#include <vector>

#include "framework/uEventer.h"
#include "framework/uiNodedInterface.h"

class TTervanStackDevice;

// Handlers get the devices present after the change (each as its basic
// interface, held for the dispatch), in order of creation.
class TevnterTervanDeviceListChanged : public TEventer<TInterfaceList> {};

// Every live device, in order of creation; plain pointers that keep nothing alive.
std::vector<TTervanStackDevice*> DeviceRegistry();
TevnterTervanDeviceListChanged& DeviceListChanged();

// Called by the device at the end of its construction / start of its
// destruction: changes the registry, then announces the new list.
void OnDeviceCreated(TTervanStackDevice* device);
void OnDeviceDestroyed(TTervanStackDevice* device);
