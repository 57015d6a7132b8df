#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/bluez_connection.h"
#include "ble/bluez/bluez_gatt.h"
#include "ble/bluez/sd_event_queue.h"
#include "ble/peripheral.h"

namespace norvel::ble::bluez {

// A Device1 object under the chosen adapter. Its name and GATT objects are read from
// bluetoothd's object tree; its events are posted to the main queue.
class BluezPeripheral : public Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
 public:
  BluezPeripheral(std::string path, Uuid identifier, std::shared_ptr<BluezConnection> connection,
                  SdEventQueue& queue);

  Uuid identifier() const override { return identifier_; }
  // Device1.Name only: Alias falls back to the address, which is no name.
  std::optional<std::string> name() const override;
  void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }

  // Waits for ServicesResolved, then reports the device's GattService1 objects whose UUID
  // is in the list, in object-path order.
  void discoverServices(const std::vector<Uuid>& serviceUUIDs) override;
  std::optional<std::vector<std::shared_ptr<Service>>> services() const override {
    return services_;
  }
  // Reports the service's GattCharacteristic1 objects whose UUID is in the list, in
  // object-path order. Services of another backend are ignored.
  void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                         Service& service) override;
  // GattCharacteristic1.ReadValue. Characteristics of another backend are ignored.
  void readValueForCharacteristic(Characteristic& characteristic) override;

  const std::string& path() const { return path_; }
  // Called after every change of bluetoothd's objects.
  void objectsChanged();

 private:
  void fetchResolvedServicesIfReady();
  void resolvedServicesFetched(bool fetched);
  void readValueReply(const std::shared_ptr<BluezCharacteristic>& characteristic,
                      sd_bus_message* reply);

  std::vector<std::shared_ptr<Service>> servicesMatching(const std::vector<Uuid>& uuids);
  std::vector<std::shared_ptr<Characteristic>> characteristicsMatching(
      const BluezService& service, const std::vector<Uuid>& uuids);

  void deliverServices(std::vector<std::shared_ptr<Service>> services);
  void deliverCharacteristics(std::shared_ptr<BluezService> service,
                              std::vector<std::shared_ptr<Characteristic>> characteristics);
  // The value is stored only when there is no error.
  void deliverValue(std::shared_ptr<BluezCharacteristic> characteristic, std::optional<Bytes> value,
                    std::optional<Error> error);

  std::string path_;
  Uuid identifier_;
  std::shared_ptr<BluezConnection> connection_;
  SdEventQueue& queue_;
  PeripheralDelegate* delegate_ = nullptr;

  // Service lists asked for and not yet answered, in the order asked.
  std::vector<std::vector<Uuid>> pendingServiceDiscoveries_;
  bool fetchingServices_ = false;
  std::optional<std::vector<std::shared_ptr<Service>>> services_;
  // The same bluetoothd object is always handed out as the same object.
  std::map<std::string, std::shared_ptr<BluezService>> knownServices_;
  std::map<std::string, std::shared_ptr<BluezCharacteristic>> knownCharacteristics_;
};

}  // namespace norvel::ble::bluez
