#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace norvel::records {

// What one readings record says, still in the sensor's units.
struct Reading {
  std::uint16_t co2 = 0;
  std::uint16_t temperature = 0;  // twentieths of a degree Celsius
  std::uint16_t pressure = 0;     // tenths of a hectopascal
  std::uint8_t humidity = 0;      // percent
  std::uint8_t battery = 0;       // percent
  std::string_view status = "";   // "GREEN", "YELLOW" or "RED"
  std::uint16_t interval = 0;
  std::uint16_t age = 0;
};

// The first 13 bytes of the detailed readings record; later bytes are ignored. The caller
// guarantees at least 13 bytes. Every byte value is accepted.
Reading decodeDetailed(std::span<const std::uint8_t> bytes);

// The basic readings record, read up to its first nine bytes. The caller guarantees at least
// 6 bytes; humidity and battery are 0 and the status "GREEN" when their bytes are missing.
// The record has no interval or age, so these are always 300 and 0.
Reading decodeBasic(std::span<const std::uint8_t> bytes);

}  // namespace norvel::records
