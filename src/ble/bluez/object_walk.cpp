#include "ble/bluez/object_walk.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/message_reading.h"

namespace norvel::ble::bluez {
namespace {

constexpr const char* kRoot = "/org/bluez";
constexpr const char* kIntrospectableInterface = "org.freedesktop.DBus.Introspectable";

constexpr std::array<std::string_view, 4> kUsedInterfaces = {
    kAdapterInterface, kDeviceInterface, kGattServiceInterface, kGattCharacteristicInterface};

bool isUsed(std::string_view interface) {
  return std::find(kUsedInterfaces.begin(), kUsedInterfaces.end(), interface) !=
         kUsedInterfaces.end();
}

}  // namespace

ObjectWalk::ObjectWalk(sd_bus* bus, Found found, std::function<void()> finished)
    : bus_(bus), found_(std::move(found)), finished_(std::move(finished)) {}

int ObjectWalk::start() {
  return send(kRoot, "");
}

int ObjectWalk::send(const std::string& path, const std::string& interface) {
  auto call = calls_.insert(calls_.end(), Call{this, path, interface, nullptr, {}});
  call->self = call;
  sd_bus_slot* slot = nullptr;
  int r = interface.empty()
              ? sd_bus_call_method_async(bus_, &slot, kBluezService, path.c_str(),
                                         kIntrospectableInterface, "Introspect",
                                         &ObjectWalk::introspectReply, &*call, "")
              : sd_bus_call_method_async(bus_, &slot, kBluezService, path.c_str(),
                                         kPropertiesInterface, "GetAll", &ObjectWalk::getAllReply,
                                         &*call, "s", interface.c_str());
  if (r < 0) {
    calls_.erase(call);
    return r;
  }
  call->slot.reset(slot);
  return 0;
}

int ObjectWalk::introspectReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* call = static_cast<Call*>(userdata);
  call->walk->introspected(*call, reply);
  call->walk->answered(*call);
  return 0;
}

void ObjectWalk::introspected(const Call& call, sd_bus_message* reply) {
  if (sd_bus_message_is_method_error(reply, nullptr) > 0)
    return;
  auto introspection = readIntrospection(reply);
  if (!introspection)
    return;
  // A call that cannot be sent leaves that part of the tree unread, as a failed one does.
  for (const auto& interface : introspection->interfaces) {
    if (isUsed(interface))
      send(call.path, interface);
  }
  for (const auto& child : introspection->children)
    send(call.path + "/" + child, "");
}

int ObjectWalk::getAllReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* call = static_cast<Call*>(userdata);
  ObjectWalk* walk = call->walk;
  if (sd_bus_message_is_method_error(reply, nullptr) <= 0) {
    if (auto properties = readAllProperties(reply)) {
      Interfaces interfaces;
      interfaces.emplace(call->interface, std::move(*properties));
      walk->found_(call->path, std::move(interfaces));
    }
  }
  walk->answered(*call);
  return 0;
}

void ObjectWalk::answered(Call& call) {
  calls_.erase(call.self);
  if (calls_.empty()) {
    // Moved out first: `finished_` may destroy this walk.
    auto finished = std::move(finished_);
    finished();
  }
}

}  // namespace norvel::ble::bluez
