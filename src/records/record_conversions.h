#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "records/sensor_record.h"

namespace norvel::records {

// Unsigned 16-bit little-endian field at `offset`, read byte by byte: several fields of the
// readings records start at odd offsets.
std::uint16_t readU16LE(std::span<const std::uint8_t> bytes, std::size_t offset);

// 1 is "GREEN", 2 is "YELLOW", every other code "RED".
std::string_view statusText(std::uint8_t code);

// Twentieths of a degree Celsius as "%.1f °C" (degree sign in UTF-8).
std::string temperatureText(std::uint16_t raw);

// Tenths of a hectopascal as "%.1f hPa".
std::string pressureText(std::uint16_t raw);

// A percentage byte as its decimal text followed by " %", unclamped.
std::string percentText(std::uint8_t value);

// The peripheral's identifier, as the reader wrote it.
std::string addressText(const PeripheralIdentity& peripheral);

// The peripheral's name, "Norvel4" when it has none; an empty name stays empty.
std::string nameText(const PeripheralIdentity& peripheral);

}  // namespace norvel::records
