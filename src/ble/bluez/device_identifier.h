#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "ble/bluez/object_tree.h"
#include "ble/uuid.h"

namespace norvel::ble::bluez {

// A Bluetooth device address, most significant byte first, as it is written.
using DeviceAddress = std::array<std::uint8_t, 6>;

// "AA:BB:CC:DD:EE:FF", hexadecimal digits in either case.
std::optional<DeviceAddress> parseDeviceAddress(std::string_view text);

// A peripheral identifier is the RFC 9562 version-8 UUID
//   00000000-0000-8000-8000-AABBCCDDEEFF
// for the device AA:BB:CC:DD:EE:FF (its Device1.Address): zero bits except the version nibble
// and the variant bits, then the address. So the same device has the same identifier on
// every run and on every machine. Nothing when the Address property is unusable.
std::optional<Uuid> deviceIdentifier(const Properties& device);

}  // namespace norvel::ble::bluez
