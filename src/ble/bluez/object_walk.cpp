#include "ble/bluez/object_walk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/message_reading.h"
#include "ble/trace.h"

namespace norvel::ble::bluez {
namespace {

constexpr std::array<std::string_view, 4> kUsedInterfaces = {
    kAdapterInterface, kDeviceInterface, kGattServiceInterface, kGattCharacteristicInterface};

}  // namespace

ObjectWalk::ObjectWalk(sd_bus* bus, BusGate& gate, ObjectTree& tree, std::function<void()> finished)
    : bus_(bus), gate_(gate), tree_(tree), finished_(std::move(finished)) {}

int ObjectWalk::start() {
  return send("/org/bluez", "");
}

// A call that cannot be sent leaves that part of the tree unread, as a failed one does.
int ObjectWalk::send(const std::string& path, const std::string& interface) {
  auto pending = calls_.insert(calls_.end(), Call{this, path, interface, nullptr, {}});
  Call& call = *pending;
  call.self = pending;
  int r = interface.empty()
              ? callBluez(bus_, call.slot, path, "org.freedesktop.DBus.Introspectable",
                          "Introspect", &ObjectWalk::introspectReply, &call, "")
              : callBluez(bus_, call.slot, path, kPropertiesInterface, "GetAll",
                          &ObjectWalk::getAllReply, &call, "s", interface.c_str());
  if (r < 0) {
    trace("%s of %s: not sent (%s), skipping it", interface.empty() ? "Introspect" : "GetAll",
          path.c_str(), std::strerror(-r));
    calls_.pop_back();
  }
  return r;
}

bool ObjectWalk::answered(sd_bus_message* reply, const Call& call) {
  const char* what = call.interface.empty() ? "Introspect" : "GetAll";
  if (!gate_.believeReply(reply, what))
    return false;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    trace("%s of %s %s failed (%s), skipping it", what, call.path.c_str(), call.interface.c_str(),
          error->message != nullptr ? error->message : error->name);
    return false;
  }
  return true;
}

int ObjectWalk::introspectReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const Call& call = *static_cast<Call*>(userdata);
  ObjectWalk& walk = *call.walk;
  Introspection introspection;
  int r = walk.answered(reply, call) ? readIntrospection(reply, introspection) : 0;
  if (r < 0)
    trace("Introspect of %s: reply unreadable (%s), skipping it", call.path.c_str(),
          std::strerror(-r));
  for (const auto& interface : introspection.interfaces) {
    if (std::find(kUsedInterfaces.begin(), kUsedInterfaces.end(), interface) !=
        kUsedInterfaces.end()) {
      walk.send(call.path, interface);
    }
  }
  for (const auto& child : introspection.children)
    walk.send(call.path + "/" + child, "");
  walk.forget(call);
  return 0;
}

// An object whose properties cannot be read (a name sd-bus refuses) is skipped; what was
// known of it stays.
int ObjectWalk::getAllReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const Call& call = *static_cast<Call*>(userdata);
  ObjectWalk& walk = *call.walk;
  Properties properties;
  if (walk.answered(reply, call)) {
    if (int r = readAllProperties(reply, properties); r < 0) {
      trace("GetAll of %s %s: reply unreadable (%s), skipping it", call.path.c_str(),
            call.interface.c_str(), std::strerror(-r));
    } else {
      walk.tree_.addInterfaces(call.path, {{call.interface, std::move(properties)}});
    }
  }
  walk.forget(call);
  return 0;
}

void ObjectWalk::forget(const Call& call) {
  calls_.erase(call.self);
  if (calls_.empty())
    std::exchange(finished_, nullptr)();
}

}  // namespace norvel::ble::bluez
