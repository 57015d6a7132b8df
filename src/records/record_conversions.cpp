#include "records/record_conversions.h"

#include <charconv>

namespace norvel::records {
namespace {

// printf "%.1f" semantics without the locale: the exact double rounded to one decimal,
// ties to even. The largest value a 16-bit raw field gives, 6553.5, fits the buffer easily.
std::string oneDecimal(double value) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr);
}

// The degree sign as UTF-8 bytes, whatever the compiler's execution character set.
constexpr std::string_view kDegreeCelsius =
    " \xC2\xB0"
    "C";

}  // namespace

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

std::string temperatureText(std::uint16_t raw) {
  return oneDecimal(raw / 20.0).append(kDegreeCelsius);
}

std::string pressureText(std::uint16_t raw) {
  return oneDecimal(raw / 10.0) + " hPa";
}

std::string percentText(std::uint8_t value) {
  return std::to_string(value) + " %";
}

std::string addressText(const PeripheralIdentity& peripheral) {
  return peripheral.identifier;
}

std::string nameText(const PeripheralIdentity& peripheral) {
  return peripheral.name.value_or("Norvel4");
}

}  // namespace norvel::records
