#pragma once

#include <cstdint>
#include <optional>

namespace norvel::ble {

// The value of one hexadecimal digit, in either letter case.
constexpr std::optional<std::uint8_t> hexDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f')
    return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F')
    return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace norvel::ble
