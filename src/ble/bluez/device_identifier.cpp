#include "ble/bluez/device_identifier.h"

#include "ble/hex_digit.h"

#include <algorithm>
#include <cstddef>

namespace norvel::ble::bluez {
namespace {

// The ten bytes before the address: version 8 in byte 6, variant 10 in byte 8.
constexpr std::array<std::uint8_t, 10> kIdentifierPrefix = {0x00, 0x00, 0x00, 0x00, 0x00,
                                                            0x00, 0x80, 0x00, 0x80, 0x00};

// Six two-digit hexadecimal bytes, each pair after the first preceded by the separator.
std::optional<DeviceAddress> parseSeparated(std::string_view text, char separator) {
  if (text.size() != 17)
    return std::nullopt;
  DeviceAddress address{};
  for (std::size_t i = 0; i < address.size(); ++i) {
    std::size_t at = i * 3;
    if (i > 0 && text[at - 1] != separator)
      return std::nullopt;
    auto high = hexDigitValue(text[at]);
    auto low = hexDigitValue(text[at + 1]);
    if (!high || !low)
      return std::nullopt;
    address[i] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return address;
}

}  // namespace

std::optional<DeviceAddress> parseDeviceAddress(std::string_view text) {
  return parseSeparated(text, ':');
}

std::optional<DeviceAddress> deviceAddressFromPath(std::string_view devicePath) {
  constexpr std::string_view kMarker = "/dev_";
  auto marker = devicePath.rfind(kMarker);
  if (marker == std::string_view::npos)
    return std::nullopt;
  return parseSeparated(devicePath.substr(marker + kMarker.size()), '_');
}

std::optional<DeviceAddress> deviceAddress(std::string_view devicePath, const Properties& device) {
  if (auto text = stringProperty(device, "Address")) {
    if (auto address = parseDeviceAddress(*text))
      return address;
  }
  return deviceAddressFromPath(devicePath);
}

Uuid identifierFromAddress(const DeviceAddress& address) {
  Uuid::Bytes bytes{};
  std::copy(kIdentifierPrefix.begin(), kIdentifierPrefix.end(), bytes.begin());
  std::copy(address.begin(), address.end(), bytes.begin() + kIdentifierPrefix.size());
  return Uuid(bytes);
}

std::optional<DeviceAddress> addressFromIdentifier(const Uuid& identifier) {
  const Uuid::Bytes& bytes = identifier.bytes();
  if (!std::equal(kIdentifierPrefix.begin(), kIdentifierPrefix.end(), bytes.begin())) {
    return std::nullopt;
  }
  DeviceAddress address{};
  std::copy(bytes.begin() + kIdentifierPrefix.size(), bytes.end(), address.begin());
  return address;
}

}  // namespace norvel::ble::bluez
