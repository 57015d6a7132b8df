#pragma once

#include <cstdint>
#include <span>

#include "records/sensor_record.h"

namespace norvel::records {

// Decodes the first 13 bytes of the detailed readings characteristic; later bytes are
// ignored. The caller guarantees at least 13 bytes. Every byte value is accepted.
SensorRecord decodeDetailedRecord(std::span<const std::uint8_t> bytes,
                                  const PeripheralIdentity& peripheral);

}  // namespace norvel::records
