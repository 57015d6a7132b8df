#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "ble/bluez/sd_handles.h"

namespace norvel::ble::bluez {

// Receives the method return or the error reply (sd-bus makes one up on a timeout).
using ReplyHandler = std::function<void(sd_bus_message* reply)>;

// A method call to bluetoothd, ready for its arguments, in `call`. Returns a negative errno
// when it cannot be built (-ENOTCONN without a bus).
int newBluezCall(sd_bus* bus, const std::string& path, const char* interface, const char* member,
                 BusMessagePtr& call);

// Sends the call without waiting. The handler is owned by the bus until the reply has been
// handled, or until the bus goes away, so it must not own the object it calls back into.
// A zero timeout is the bus default (25 s). Returns a negative errno when nothing was sent.
int callAsync(sd_bus* bus, sd_bus_message* call, ReplyHandler handler,
              std::chrono::microseconds timeout = {});

}  // namespace norvel::ble::bluez
