#include "ble/bluez/bus_gate.h"

#include <string_view>

#include "ble/bluez/bluez_bus.h"
#include "ble/trace.h"

namespace norvel::ble::bluez {
namespace {

constexpr std::string_view kBusName = "org.freedesktop.DBus";
constexpr std::string_view kLocalName = "org.freedesktop.DBus.Local";

const char* orNone(const char* text) {
  return text != nullptr ? text : "(none)";
}

bool is(const char* text, std::string_view value) {
  return text != nullptr && !value.empty() && value == text;
}

}  // namespace

bool BusGate::believeReply(sd_bus_message* reply, const char* call) {
  const char* sender = sd_bus_message_get_sender(reply);
  if (sender != nullptr && !is(sender, bluetoothd_) && !is(sender, kBusName) &&
      !is(sender, kLocalName)) {
    trace("%s: reply from %s, which is not bluetoothd (%s), ignoring", call, sender,
          bluetoothd_.empty() ? "absent" : bluetoothd_.c_str());
    return false;
  }
  if (!isAccessDenied(reply))
    return true;
  trace("%s: refused by the bus policy: %s", call,
        orNone(sd_bus_message_get_error(reply)->message));
  if (!accessDenied_) {
    accessDenied_ = true;
    denied_();
  }
  return false;
}

bool BusGate::believeSignal(sd_bus_message* signal) {
  const char* sender = sd_bus_message_get_sender(signal);
  const bool fromBus = is(sd_bus_message_get_interface(signal), kBusName);
  if (is(sender, fromBus ? kBusName : std::string_view(bluetoothd_)))
    return true;
  trace("signal %s.%s on %s from %s, which is not %s, ignoring",
        orNone(sd_bus_message_get_interface(signal)), orNone(sd_bus_message_get_member(signal)),
        orNone(sd_bus_message_get_path(signal)), orNone(sender),
        fromBus ? "the bus" : "bluetoothd");
  return false;
}

}  // namespace norvel::ble::bluez
