#pragma once

#include <systemd/sd-bus.h>

#include "ble/error.h"

namespace norvel::ble::bluez {

// The error a reply carries, or null for a method return.
const sd_bus_error* replyError(sd_bus_message* reply);

// The bus policy's refusal, the one error that means this process may not use Bluetooth.
// bluetoothd's own NotAuthorized passes on the device's refusal of an operation instead.
bool isAccessDenied(const sd_bus_error& error);

// The error's message as the sender wrote it, or its name when the message is empty.
Error toBleError(const sd_bus_error& error);

// A request that could not even be sent, from the negative errno of the failed call.
Error errnoError(int negativeErrno);

}  // namespace norvel::ble::bluez
