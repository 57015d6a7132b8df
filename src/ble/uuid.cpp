#include "ble/uuid.h"

#include <cstddef>

#include "ble/hex_digit.h"

namespace norvel::ble {
namespace {

// 0000xxxx-0000-1000-8000-00805F9B34FB with the short form in the first four bytes.
constexpr Uuid::Bytes kBaseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                   0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

bool isHyphenPosition(std::size_t i) {
  return i == 8 || i == 13 || i == 18 || i == 23;
}

std::optional<std::uint32_t> parseShort(std::string_view text) {
  std::uint32_t value = 0;
  for (char c : text) {
    auto digit = hexDigitValue(c);
    if (!digit)
      return std::nullopt;
    value = (value << 4) | *digit;
  }
  return value;
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

std::optional<Uuid> Uuid::parseGatt(std::string_view text) {
  if (text.size() == 4 || text.size() == 8) {
    auto shortForm = parseShort(text);
    if (!shortForm)
      return std::nullopt;
    return fromShort(*shortForm);
  }
  return parse(text);
}

Uuid Uuid::fromShort(std::uint32_t shortForm) {
  Bytes bytes = kBaseUuid;
  bytes[0] = static_cast<std::uint8_t>(shortForm >> 24);
  bytes[1] = static_cast<std::uint8_t>(shortForm >> 16);
  bytes[2] = static_cast<std::uint8_t>(shortForm >> 8);
  bytes[3] = static_cast<std::uint8_t>(shortForm);
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
