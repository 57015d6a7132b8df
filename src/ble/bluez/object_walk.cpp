#include "ble/bluez/object_walk.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/message_reading.h"

namespace norvel::ble::bluez {
namespace {

constexpr std::array<std::string_view, 4> kUsedInterfaces = {
    kAdapterInterface, kDeviceInterface, kGattServiceInterface, kGattCharacteristicInterface};

}  // namespace

ObjectWalk::ObjectWalk(sd_bus* bus, std::string bluez, ObjectTree& tree,
                       std::function<void()> finished)
    : bus_(bus), bluez_(std::move(bluez)), tree_(tree), finished_(std::move(finished)) {}

int ObjectWalk::start() {
  return send("/org/bluez", "");
}

int ObjectWalk::send(const std::string& path, const std::string& interface) {
  auto pending = calls_.insert(calls_.end(), Call{this, path, interface, nullptr, {}});
  Call& call = *pending;
  call.self = pending;
  int r = interface.empty()
              ? callBluez(bus_, call.slot, path, "org.freedesktop.DBus.Introspectable",
                          "Introspect", &ObjectWalk::introspectReply, &call, "")
              : callBluez(bus_, call.slot, path, kPropertiesInterface, "GetAll",
                          &ObjectWalk::getAllReply, &call, "s", interface.c_str());
  if (r < 0)
    calls_.pop_back();
  return r;
}

bool ObjectWalk::answeredByBluez(sd_bus_message* reply) const {
  const char* sender = sd_bus_message_get_sender(reply);
  return sender != nullptr && bluez_ == sender && !sd_bus_message_is_method_error(reply, nullptr);
}

// A call that cannot be sent leaves that part of the tree unread, as a failed one does.
int ObjectWalk::introspectReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const Call& call = *static_cast<Call*>(userdata);
  ObjectWalk& walk = *call.walk;
  Introspection introspection;
  if (walk.answeredByBluez(reply) && readIntrospection(reply, introspection) >= 0) {
    for (const auto& interface : introspection.interfaces) {
      if (std::find(kUsedInterfaces.begin(), kUsedInterfaces.end(), interface) !=
          kUsedInterfaces.end()) {
        walk.send(call.path, interface);
      }
    }
    for (const auto& child : introspection.children)
      walk.send(call.path + "/" + child, "");
  }
  walk.answered(call);
  return 0;
}

int ObjectWalk::getAllReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const Call& call = *static_cast<Call*>(userdata);
  ObjectWalk& walk = *call.walk;
  Properties properties;
  if (walk.answeredByBluez(reply) && readAllProperties(reply, properties) >= 0)
    walk.tree_.addInterfaces(call.path, {{call.interface, std::move(properties)}});
  walk.answered(call);
  return 0;
}

void ObjectWalk::answered(const Call& call) {
  calls_.erase(call.self);
  if (calls_.empty())
    std::exchange(finished_, nullptr)();
}

}  // namespace norvel::ble::bluez
