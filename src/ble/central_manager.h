#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ble/error.h"
#include "ble/gatt.h"
#include "ble/peripheral.h"
#include "ble/uuid.h"

namespace norvel::ble {

// The adapter's state; the numbers are those every central stack reports.
enum class ManagerState : int {
  unknown = 0,
  resetting = 1,
  unsupported = 2,
  unauthorized = 3,
  poweredOff = 4,
  poweredOn = 5,
};

// One value of an advertisement: text, a number or raw bytes.
using AdvertisementValue = std::variant<std::string, std::int64_t, Bytes>;
using AdvertisementData = std::map<std::string, AdvertisementValue>;

inline constexpr const char* kAdvertisementDataLocalNameKey = "kCBAdvDataLocalName";

struct ScanOptions {
  bool allowDuplicates = false;
};

class CentralManager;

// Events of the central manager, delivered on the main queue one at a time.
class CentralManagerDelegate {
 public:
  virtual ~CentralManagerDelegate() = default;
  virtual void centralManagerDidUpdateState(CentralManager& central) = 0;
  virtual void centralManagerDidDiscoverPeripheral(CentralManager& central, Peripheral& peripheral,
                                                   const AdvertisementData& advertisementData,
                                                   int rssi) = 0;
  virtual void centralManagerDidConnectPeripheral(CentralManager& central,
                                                  Peripheral& peripheral) = 0;
  virtual void centralManagerDidFailToConnectPeripheral(CentralManager& central,
                                                        Peripheral& peripheral,
                                                        const std::optional<Error>& error) = 0;
};

// The central role of one stack. It owns the peripherals it hands out.
class CentralManager {
 public:
  virtual ~CentralManager() = default;

  virtual ManagerState state() const = 0;
  virtual std::vector<Peripheral*> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) = 0;
  // No service list reports every advertising peripheral.
  virtual void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                              const ScanOptions& options) = 0;
  virtual void stopScan() = 0;
  virtual void connectPeripheral(Peripheral& peripheral) = 0;
};

}  // namespace norvel::ble
