#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ble/error.h"
#include "ble/gatt.h"
#include "ble/uuid.h"

namespace norvel::ble {

class Peripheral;

// Events of one peripheral, delivered on the main queue, never from inside the request that
// caused them. Each carries the GATT values it is about.
class PeripheralDelegate {
 public:
  virtual ~PeripheralDelegate() = default;
  virtual void peripheralDidDiscoverServices(Peripheral& peripheral,
                                             const std::optional<Error>& error) = 0;
  // The service carries the characteristics discovered.
  virtual void peripheralDidDiscoverCharacteristicsForService(
      Peripheral& peripheral, const Service& service, const std::optional<Error>& error) = 0;
  // The characteristic carries the value read, unless there is an error.
  virtual void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                         const Characteristic& characteristic,
                                                         const std::optional<Error>& error) = 0;
};

// A remote device. Its central manager owns it and keeps it for the manager's lifetime.
class Peripheral {
 public:
  virtual ~Peripheral() = default;

  // Stable for the same device across runs.
  virtual Uuid identifier() const = 0;
  virtual std::optional<std::string> name() const = 0;

  // The delegate is not owned; it must outlive the peripheral's events.
  virtual void setDelegate(PeripheralDelegate* delegate) = 0;

  virtual void discoverServices(const std::vector<Uuid>& serviceUUIDs) = 0;
  // Absent until services have been discovered.
  virtual const std::optional<std::vector<Service>>& services() const = 0;
  virtual void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUUIDs,
                                                 const Service& service) = 0;
  virtual void readValueForCharacteristic(const Characteristic& characteristic) = 0;
};

}  // namespace norvel::ble
