#pragma once

#include <cstdint>
#include <string_view>

#include "records/sensor_record.h"

namespace norvel::records {

// The fields both readings characteristics yield, still in the sensor's units.
struct SensorReadings {
  std::uint16_t co2 = 0;
  std::uint16_t temperature = 0;  // twentieths of a degree Celsius
  std::uint16_t pressure = 0;     // tenths of a hectopascal
  std::uint8_t humidity = 0;      // percent
  std::uint8_t battery = 0;       // percent
  std::string_view status;        // "GREEN", "YELLOW" or "RED"
  std::uint16_t interval = 0;
  std::uint16_t age = 0;
};

// The ten-entry record, in the order address, name, co2, temperature, humidity, pressure,
// battery, status, interval, age.
SensorRecord makeSensorRecord(const PeripheralIdentity& peripheral, const SensorReadings& readings);

}  // namespace norvel::records
