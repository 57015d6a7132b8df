#include "ble/bluez/async_call.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "ble/bluez/bluez_names.h"

namespace norvel::ble::bluez {
namespace {

int replyArrived(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  (*static_cast<ReplyHandler*>(userdata))(reply);
  return 0;
}

void releaseHandler(void* userdata) {
  delete static_cast<ReplyHandler*>(userdata);
}

}  // namespace

int newBluezCall(sd_bus* bus, const std::string& path, const char* interface, const char* member,
                 BusMessagePtr& call) {
  if (bus == nullptr)
    return -ENOTCONN;
  sd_bus_message* message = nullptr;
  int r =
      sd_bus_message_new_method_call(bus, &message, kBluezService, path.c_str(), interface, member);
  if (r < 0)
    return r;
  call.reset(message);
  return 0;
}

int callAsync(sd_bus* bus, sd_bus_message* call, ReplyHandler handler,
              std::chrono::microseconds timeout) {
  if (bus == nullptr)
    return -ENOTCONN;
  auto owned = std::make_unique<ReplyHandler>(std::move(handler));
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_call_async(bus, &slot, call, &replyArrived, owned.get(),
                            static_cast<std::uint64_t>(timeout.count()));
  if (r < 0)
    return r;
  BusSlotPtr ownSlot(slot);
  sd_bus_slot_set_destroy_callback(slot, &releaseHandler);
  static_cast<void>(owned.release());
  // From here the bus holds the slot, and frees it with the handler once the reply is in.
  sd_bus_slot_set_floating(slot, 1);
  return 0;
}

}  // namespace norvel::ble::bluez
