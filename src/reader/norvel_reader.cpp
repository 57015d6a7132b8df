#include "reader/norvel_reader.h"

#include <span>
#include <utility>

#include "reader/peripheral_match.h"
#include "records/json_document.h"
#include "records/reading.h"

namespace norvel {
namespace {

constexpr std::size_t kDetailedRecordLength = 13;
constexpr std::size_t kBasicRecordMinimumLength = 6;

ble::Uuid gattUuid(const char* text) {
  return *ble::Uuid::parse(text);
}

const ble::Characteristic* firstWithUuid(const std::vector<ble::Characteristic>& characteristics,
                                         const ble::Uuid& uuid) {
  for (const auto& characteristic : characteristics) {
    if (characteristic.uuid == uuid)
      return &characteristic;
  }
  return nullptr;
}

}  // namespace

NorvelReader::NorvelReader(std::optional<std::string> targetUUID, ble::Bluetooth& bluetooth,
                           RunEnd& runEnd)
    : serviceUUID(gattUuid("0000FCE0-0000-1000-8000-00805F9B34FB")),
      charDetailedUUID(gattUuid("F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C")),
      charReadingsUUID(gattUuid("F0CD1503-95DA-4F4B-9AC8-AA55D312AF0C")),
      runEnd_(runEnd),
      targetUUIDString_(std::move(targetUUID)) {
  // Last, because the manager may report events to this reader from now on. The stack owns
  // the manager and hands it to every event, so the reader keeps no reference to it.
  bluetooth.makeCentralManager(*this);
}

// The central manager's events: adapter state, lookup of the sensor, connection.

void NorvelReader::centralManagerDidUpdateState(ble::CentralManager& central) {
  switch (central.state()) {
    case ble::ManagerState::poweredOn:
      powerOn(central);
      return;
    case ble::ManagerState::unauthorized:
      runEnd_.fail("Error: Bluetooth permission denied\n", 2);
      return;
    default:
      // Not usable yet: wait for a later state report or the deadline.
      return;
  }
}

void NorvelReader::powerOn(ble::CentralManager& central) {
  // An empty or malformed identifier does not parse, so such a run scans instead.
  if (targetUUIDString_) {
    if (auto uuid = ble::Uuid::parse(*targetUUIDString_)) {
      auto known = central.retrievePeripheralsWithIdentifiers({*uuid});
      if (!known.empty()) {
        connectTo(central, *known.front());
        return;
      }
    }
  }
  central.scanForPeripheralsWithServices(std::nullopt, ble::ScanOptions{.allowDuplicates = false});
}

void NorvelReader::centralManagerDidDiscoverPeripheral(
    ble::CentralManager& central, ble::Peripheral& peripheral,
    const ble::AdvertisementData& advertisementData, int /*rssi*/) {
  const std::string name = candidateName(peripheral.name(), advertisementData);
  if (!peripheralQualifies(targetUUIDString_, peripheral.identifier(), name))
    return;
  central.stopScan();
  connectTo(central, peripheral);
}

void NorvelReader::connectTo(ble::CentralManager& central, ble::Peripheral& peripheral) {
  peripheral.setDelegate(this);
  central.connectPeripheral(peripheral);
}

void NorvelReader::centralManagerDidConnectPeripheral(ble::CentralManager& /*central*/,
                                                      ble::Peripheral& peripheral) {
  peripheral.discoverServices({serviceUUID});
}

void NorvelReader::centralManagerDidFailToConnectPeripheral(
    ble::CentralManager& /*central*/, ble::Peripheral& /*peripheral*/,
    const std::optional<ble::Error>& error) {
  const std::string reason = error ? error->localizedDescription : "unknown";
  runEnd_.fail("Error: Failed to connect: " + reason + "\n", 1);
}

// The peripheral's discovery events: from the sensor's service to one pending read.

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

// The value event: test the answer, decode a usable value and print it.

void NorvelReader::peripheralDidUpdateValueForCharacteristic(
    ble::Peripheral& peripheral, const ble::Characteristic& characteristic,
    const std::optional<ble::Error>& error) {
  if (error) {
    runEnd_.fail("Error reading characteristic: " + error->localizedDescription + "\n", 1);
    return;
  }
  const auto& value = characteristic.value;
  if (!value) {
    runEnd_.fail("Error: Empty characteristic value\n", 1);
    return;
  }
  const std::span<const std::uint8_t> bytes(*value);
  std::optional<records::Reading> reading;
  if (characteristic.uuid == charDetailedUUID && bytes.size() >= kDetailedRecordLength)
    reading = records::decodeDetailed(bytes);
  else if (characteristic.uuid == charReadingsUUID && bytes.size() >= kBasicRecordMinimumLength)
    reading = records::decodeBasic(bytes);
  if (!reading) {
    runEnd_.fail(
        "Error: Unexpected data format or length (" + std::to_string(bytes.size()) + " bytes)\n",
        1);
    return;
  }
  const std::string document =
      records::jsonDocument(peripheral.identifier().toString(), peripheral.name(), *reading);
  runEnd_.succeed(document + "\n");
}

}  // namespace norvel
