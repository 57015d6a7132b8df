// The value event: test the answer and hand a usable value to its decoder.
#include <span>
#include <string>

#include "reader/norvel_reader.h"
#include "records/basic_record.h"
#include "records/detailed_record.h"

namespace norvel {
namespace {

constexpr std::size_t kDetailedRecordLength = 13;
constexpr std::size_t kBasicRecordMinimumLength = 6;

}  // namespace

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
  const records::PeripheralIdentity identity{peripheral.identifier().toString(), peripheral.name()};
  const std::span<const std::uint8_t> bytes(*value);
  const ble::Uuid& uuid = characteristic.uuid;
  if (uuid == charDetailedUUID && bytes.size() >= kDetailedRecordLength) {
    outputJSON(records::decodeDetailedRecord(bytes, identity));
    return;
  }
  if (uuid == charReadingsUUID && bytes.size() >= kBasicRecordMinimumLength) {
    outputJSON(records::decodeBasicRecord(bytes, identity));
    return;
  }
  runEnd_.fail(
      "Error: Unexpected data format or length (" + std::to_string(bytes.size()) + " bytes)\n", 1);
}

}  // namespace norvel
