#include "reader/norvel_reader.h"

#include <utility>

#include "records/json_document.h"

namespace norvel {
namespace {

ble::Uuid gattUuid(const char* text) {
  return *ble::Uuid::parse(text);
}

}  // namespace

NorvelReader::NorvelReader(std::optional<std::string> targetUUID, ble::Bluetooth& bluetooth,
                           RunEnd& runEnd)
    : serviceUUID(gattUuid("0000FCE0-0000-1000-8000-00805F9B34FB")),
      charDetailedUUID(gattUuid("F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C")),
      charReadingsUUID(gattUuid("F0CD1503-95DA-4F4B-9AC8-AA55D312AF0C")),
      runEnd_(runEnd),
      targetUUIDString_(std::move(targetUUID)) {
  // Last, because the manager may report events to this reader from now on.
  central_ = &bluetooth.makeCentralManager(*this);
}

bool NorvelReader::hasTargetIdentifier() const {
  return targetUUIDString_.has_value() && !targetUUIDString_->empty();
}

void NorvelReader::outputJSON(const records::SensorRecord& record) {
  runEnd_.succeed(records::jsonDocument(record) + "\n");
}

}  // namespace norvel
