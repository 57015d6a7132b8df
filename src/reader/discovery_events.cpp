// The peripheral's discovery events: from the sensor's service to one pending read.
#include "reader/norvel_reader.h"

namespace norvel {
namespace {

const ble::Characteristic* firstWithUuid(const std::vector<ble::Characteristic>& characteristics,
                                         const ble::Uuid& uuid) {
  for (const auto& characteristic : characteristics) {
    if (characteristic.uuid == uuid)
      return &characteristic;
  }
  return nullptr;
}

}  // namespace

void NorvelReader::peripheralDidDiscoverServices(ble::Peripheral& peripheral,
                                                 const std::optional<ble::Error>& /*error*/) {
  const auto& services = peripheral.services();
  if (!services || services->empty()) {
    runEnd_.fail("Error: No Norvel services found\n", 1);
    return;
  }
  // Every matching service gets its own request; the first value to arrive ends the run.
  for (const auto& service : *services) {
    if (service.uuid == serviceUUID) {
      peripheral.discoverCharacteristicsForService({charDetailedUUID, charReadingsUUID}, service);
    }
  }
}

void NorvelReader::peripheralDidDiscoverCharacteristicsForService(
    ble::Peripheral& peripheral, const ble::Service& service,
    const std::optional<ble::Error>& /*error*/) {
  const auto& characteristics = service.characteristics;
  if (!characteristics || characteristics->empty()) {
    runEnd_.fail("Error: No Norvel characteristics found\n", 1);
    return;
  }
  // The detailed record wins wherever it stands in the list.
  const auto* chosen = firstWithUuid(*characteristics, charDetailedUUID);
  if (chosen == nullptr)
    chosen = firstWithUuid(*characteristics, charReadingsUUID);
  if (chosen != nullptr)
    peripheral.readValueForCharacteristic(*chosen);
}

}  // namespace norvel
