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

// bluetoothd names a device's object after its address: ".../dev_AA_BB_CC_DD_EE_FF".
std::optional<DeviceAddress> deviceAddressFromPath(std::string_view devicePath);

// The device's Address property, or the address in its object path when that is unusable.
std::optional<DeviceAddress> deviceAddress(std::string_view devicePath, const Properties& device);

// A peripheral identifier is the RFC 9562 version-8 UUID
//   00000000-0000-8000-8000-AABBCCDDEEFF
// for the device AA:BB:CC:DD:EE:FF: fixed zero bits except the version nibble (8) and the
// variant bits (binary 10), and the address as the last 12 hexadecimal digits. The same
// device therefore has the same identifier on every run and on every machine.
Uuid identifierFromAddress(const DeviceAddress& address);

// The address an identifier of the form above stands for; nothing for any other UUID.
std::optional<DeviceAddress> addressFromIdentifier(const Uuid& identifier);

}  // namespace norvel::ble::bluez
