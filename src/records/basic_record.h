#pragma once

#include <cstdint>
#include <span>

#include "records/sensor_record.h"

namespace norvel::records {

// Decodes the basic readings characteristic, reading at most its first nine bytes. The
// caller guarantees at least 6 bytes; humidity and battery are 0 and the status "GREEN"
// when their bytes are missing. The record has no interval or age, so these are always
// 300 and 0.
SensorRecord decodeBasicRecord(std::span<const std::uint8_t> bytes,
                               const PeripheralIdentity& peripheral);

}  // namespace norvel::records
