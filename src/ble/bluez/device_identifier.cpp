#include "ble/bluez/device_identifier.h"

#include "ble/hex_digit.h"

namespace norvel::ble::bluez {

std::optional<DeviceAddress> parseDeviceAddress(std::string_view text) {
  if (text.size() != 17)
    return std::nullopt;
  DeviceAddress address{};
  for (std::size_t i = 0; i < address.size(); ++i) {
    auto high = hexDigitValue(text[i * 3]);
    auto low = hexDigitValue(text[i * 3 + 1]);
    if (!high || !low || (i > 0 && text[i * 3 - 1] != ':'))
      return std::nullopt;
    address[i] = static_cast<std::uint8_t>(*high << 4 | *low);
  }
  return address;
}

std::optional<Uuid> deviceIdentifier(const Properties& device) {
  auto text = property<std::string>(device, "Address");
  auto address = text ? parseDeviceAddress(*text) : std::nullopt;
  if (!address)
    return std::nullopt;
  // Version 8 in byte 6, variant 10 in byte 8, the address in the last six bytes.
  Uuid::Bytes bytes{0, 0, 0, 0, 0, 0, 0x80, 0, 0x80, 0};
  std::copy(address->begin(), address->end(), bytes.begin() + 10);
  return Uuid(bytes);
}

}  // namespace norvel::ble::bluez
