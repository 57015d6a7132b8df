#include "records/reading.h"

#include <cstddef>

namespace norvel::records {
namespace {

// Read byte by byte: several fields of the records start at odd offsets.
std::uint16_t readU16LE(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::string_view statusText(std::uint8_t code) {
  switch (code) {
    case 1:
      return "GREEN";
    case 2:
      return "YELLOW";
    default:
      return "RED";
  }
}

}  // namespace

Reading decodeDetailed(std::span<const std::uint8_t> bytes) {
  return {.co2 = readU16LE(bytes, 0),
          .temperature = readU16LE(bytes, 2),
          .pressure = readU16LE(bytes, 4),
          .humidity = bytes[6],
          .battery = bytes[7],
          .status = statusText(bytes[8]),
          .interval = readU16LE(bytes, 9),
          .age = readU16LE(bytes, 11)};
}

Reading decodeBasic(std::span<const std::uint8_t> bytes) {
  return {.co2 = readU16LE(bytes, 0),
          .temperature = readU16LE(bytes, 2),
          .pressure = readU16LE(bytes, 4),
          .humidity = bytes.size() >= 7 ? bytes[6] : std::uint8_t{0},
          .battery = bytes.size() >= 8 ? bytes[7] : std::uint8_t{0},
          .status = bytes.size() >= 9 ? statusText(bytes[8]) : "GREEN",
          .interval = 300,
          .age = 0};
}

}  // namespace norvel::records
