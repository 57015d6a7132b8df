#pragma once

#include <memory>
#include <vector>

#include "ble/bluetooth.h"
#include "ble/bluez/bluez_central_manager.h"
#include "ble/bluez/sd_event_queue.h"

namespace norvel::ble::bluez {

// Bluetooth through bluetoothd (BlueZ 5) on the system D-Bus, attached to the queue's loop.
// sd_bus_open_system honours DBUS_SYSTEM_BUS_ADDRESS, which is how tests point it elsewhere.
class BluezBluetooth : public Bluetooth {
 public:
  explicit BluezBluetooth(SdEventQueue& queue) : queue_(queue) {}

  // The manager starts from the loop, so even its first state event comes from there.
  CentralManager& makeCentralManager(CentralManagerDelegate& delegate) override;

  // The bounded clean-up just before the process exits: bluetoothd keeps a connection up
  // after its client has gone, so every device a central manager asked to connect, unless
  // it was connected before, is sent Disconnect without waiting for the reply, and the bus
  // is flushed. Safe without managers, without a bus, and when called again.
  void closeConnections();

 private:
  SdEventQueue& queue_;
  std::vector<std::unique_ptr<BluezCentralManager>> managers_;
};

}  // namespace norvel::ble::bluez
