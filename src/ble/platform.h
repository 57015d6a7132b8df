#pragma once

// The backend of this build, under the names main() uses on every platform: the main queue
// (run(), handleTerminationSignals()) and the Bluetooth stack made on it (closeConnections()).
#ifdef NORVEL_BACKEND_COREBLUETOOTH
#include "ble/corebluetooth/corebluetooth_bluetooth.h"
#include "ble/corebluetooth/dispatch_main_queue.h"

namespace norvel::ble {
using PlatformQueue = corebluetooth::DispatchMainQueue;
using PlatformBluetooth = corebluetooth::CoreBluetooth;
}  // namespace norvel::ble
#else
#include "ble/bluez/bluez_bluetooth.h"
#include "ble/bluez/sd_event_queue.h"

namespace norvel::ble {
using PlatformQueue = bluez::SdEventQueue;
using PlatformBluetooth = bluez::BluezBluetooth;
}  // namespace norvel::ble
#endif
