#pragma once

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/bluetoothd_client.h"
#include "ble/bluez/sd_event_queue.h"
#include "ble/peripheral.h"

namespace norvel::ble::bluez {

// A Device1 object under the chosen adapter. Its name and GATT attributes are read from
// bluetoothd's object tree; each attribute's stack key is its object path.
class BluezPeripheral : public Peripheral {
 public:
  BluezPeripheral(BluetoothdClient& bluetoothd, SdEventQueue& queue, std::string path,
                  Uuid identifier);
  BluezPeripheral(const BluezPeripheral&) = delete;
  BluezPeripheral& operator=(const BluezPeripheral&) = delete;

  Uuid identifier() const override { return identifier_; }
  // Device1.Name only: Alias falls back to the address, which is no name.
  std::optional<std::string> name() const override;
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }

  // Waits for ServicesResolved, fetches the tree afresh, then reports the device's
  // GattService1 objects whose UUID is in the list, in object-path order.
  void discoverServices(const std::vector<Uuid>& serviceUUIDs) override;
  const std::optional<std::vector<Service>>& services() const override { return services_; }
  // Reports the service's GattCharacteristic1 objects whose UUID is in the list, in
  // object-path order, from the tree.
  void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                         const Service& service) override;
  // GattCharacteristic1.ReadValue.
  void readValueForCharacteristic(const Characteristic& characteristic) override;

  const std::string& path() const { return path_; }
  // Called after every change of bluetoothd's objects.
  void objectsChanged();

 private:
  struct PendingRead {
    BluezPeripheral* peripheral;
    Characteristic characteristic;
    BusSlotPtr slot;
    std::list<PendingRead>::iterator self;
  };

  static int readValueReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  void fetchResolvedServicesIfReady();
  void resolvedServicesFetched(bool fetched);
  void deliverValue(const Characteristic& characteristic, const std::optional<Error>& error);

  BluetoothdClient& bluetoothd_;
  SdEventQueue& queue_;
  std::string path_;
  Uuid identifier_;
  PeripheralDelegate* delegate_ = nullptr;
  // Service lists asked for and not yet answered, in the order asked.
  std::vector<std::vector<Uuid>> pendingServiceDiscoveries_;
  bool fetchingServices_ = false;
  std::optional<std::vector<Service>> services_;
  std::list<PendingRead> reads_;
};

}  // namespace norvel::ble::bluez
