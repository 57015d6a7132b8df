#include "ble/uuid.h"

#include <cstddef>

#include "ble/hex_digit.h"

namespace norvel::ble {
namespace {

bool isHyphenPosition(std::size_t i) {
  return i == 8 || i == 13 || i == 18 || i == 23;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36)
    return std::nullopt;
  Bytes bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-')
        return std::nullopt;
      continue;
    }
    auto digit = hexDigitValue(text[i]);
    if (!digit)
      return std::nullopt;
    bytes[nibble / 2] |= static_cast<std::uint8_t>(nibble % 2 == 0 ? *digit << 4 : *digit);
    ++nibble;
  }
  return Uuid(bytes);
}

std::string Uuid::toString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10)
      text.push_back('-');
    text.push_back(kDigits[bytes_[i] >> 4]);
    text.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace norvel::ble
