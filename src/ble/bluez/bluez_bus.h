#pragma once

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ble/bluez/sd_handles.h"
#include "ble/error.h"

namespace norvel::ble::bluez {

inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

// Sends a method call to bluetoothd without waiting; `types` and `args` are its arguments as
// sd_bus_message_append takes them. The pending call is `slot`, owned by the caller, and the
// reply goes to `reply` with `userdata`; releasing the slot forgets the call. Returns a
// negative errno when nothing was sent.
template <typename... Args>
int callBluez(sd_bus* bus, BusSlotPtr& slot, const std::string& path, const char* interface,
              const char* member, sd_bus_message_handler_t reply, void* userdata,
              const char* types, Args... args) {
  sd_bus_slot* pending = nullptr;
  int r = bus == nullptr ? -ENOTCONN
                         : sd_bus_call_method_async(bus, &pending, kBluezService, path.c_str(),
                                                    interface, member, reply, userdata, types,
                                                    args...);
  if (r >= 0)
    slot.reset(pending);
  return r;
}

// The bus policy's refusal, the one error that means this process may not use Bluetooth.
// bluetoothd's own NotAuthorized passes on the device's refusal of an operation instead.
inline bool isAccessDenied(sd_bus_message* reply) {
  return sd_bus_message_is_method_error(reply, SD_BUS_ERROR_ACCESS_DENIED) > 0;
}

// The error's message as the sender wrote it, or its name when the message is empty.
inline Error toBleError(const sd_bus_error& error) {
  const bool hasMessage = error.message != nullptr && error.message[0] != '\0';
  return Error{hasMessage ? error.message : error.name != nullptr ? error.name : ""};
}

// A request that could not even be sent, from the negative errno of the failed call.
inline Error errnoError(int r) {
  return Error{std::strerror(-r)};
}

}  // namespace norvel::ble::bluez
