#include "ble/bluez/bluez_connection.h"

#include <time.h>

#include <string_view>
#include <utility>

#include "ble/bluez/async_call.h"
#include "ble/bluez/bluez_names.h"
#include "ble/bluez/bus_error.h"
#include "ble/bluez/message_reading.h"

namespace norvel::ble::bluez {
namespace {

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";

constexpr const char* kBluezSignalsRule = "type='signal',sender='org.bluez'";
constexpr const char* kBluezOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";

constexpr std::uint64_t kReopenDelayUsec = 1'000'000;

std::vector<std::string> interfaceNames(const Interfaces& interfaces) {
  std::vector<std::string> names;
  for (const auto& [name, properties] : interfaces)
    names.push_back(name);
  return names;
}

}  // namespace

BluezConnection::BluezConnection(sd_event* event) : event_(event) {}

BluezConnection::~BluezConnection() = default;

void BluezConnection::start() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) {
    becomeAbsent();
    reopenLater();
    return;
  }
  bus_.reset(bus);
  if (sd_bus_attach_event(bus, event_, SD_EVENT_PRIORITY_NORMAL) < 0 || !subscribe()) {
    matches_.clear();
    bus_.reset();
    becomeAbsent();
    reopenLater();
    return;
  }
  // The match rules are sent first, so no change between the reply and them is missed. The
  // bus answers who owns org.bluez before it passes the object request on, so every signal
  // that comes after the objects is checked against the right sender.
  requestOwner();
  requestManagedObjects(nullptr);
}

bool BluezConnection::subscribe() {
  sd_bus* bus = bus_.get();
  sd_bus_slot* signals = nullptr;
  sd_bus_slot* owner = nullptr;
  sd_bus_slot* disconnected = nullptr;
  bool subscribed =
      sd_bus_add_match_async(bus, &signals, kBluezSignalsRule, &BluezConnection::bluezSignal,
                             &BluezConnection::addMatchReply, this) >= 0 &&
      sd_bus_add_match_async(bus, &owner, kBluezOwnerRule, &BluezConnection::nameOwnerChanged,
                             &BluezConnection::addMatchReply, this) >= 0 &&
      sd_bus_match_signal_async(bus, &disconnected, nullptr, "/org/freedesktop/DBus/Local",
                                "org.freedesktop.DBus.Local", "Disconnected",
                                &BluezConnection::busDisconnected, nullptr, this) >= 0;
  for (sd_bus_slot* slot : {signals, owner, disconnected}) {
    if (slot != nullptr)
      matches_.emplace_back(slot);
  }
  return subscribed;
}

void BluezConnection::requestOwner() {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(bus_.get(), &slot, kBusService, kBusPath, kBusInterface,
                               "GetNameOwner", &BluezConnection::nameOwnerReply, this, "s",
                               kBluezService) >= 0) {
    ownerCall_.reset(slot);
  }
}

// An error here is NameHasNoOwner: bluetoothd is not there yet, and the bus will announce it.
int BluezConnection::nameOwnerReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->ownerCall_.reset();
  const char* owner = nullptr;
  if (replyError(reply) == nullptr && sd_bus_message_read(reply, "s", &owner) >= 0)
    self->owner_ = owner;
  return 0;
}

bool BluezConnection::sentByBluez(sd_bus_message* message) const {
  const char* sender = sd_bus_message_get_sender(message);
  return sender != nullptr && !owner_.empty() && owner_ == sender;
}

void BluezConnection::refreshObjects(std::function<void(bool fetched)> done) {
  requestManagedObjects(std::move(done));
}

void BluezConnection::requestManagedObjects(std::function<void(bool fetched)> done) {
  BusMessagePtr call;
  int r = newBluezCall(bus_.get(), "/", kObjectManagerInterface, "GetManagedObjects", call);
  if (r >= 0) {
    r = callAsync(bus_.get(), call.get(), [weak = weak_from_this(), done](sd_bus_message* reply) {
      if (auto self = weak.lock())
        self->managedObjectsReply(reply, done);
    });
  }
  if (r < 0 && done)
    done(false);
}

void BluezConnection::managedObjectsReply(sd_bus_message* reply,
                                          std::function<void(bool fetched)> done) {
  if (const sd_bus_error* error = replyError(reply)) {
    if (isAccessDenied(*error)) {
      noteAccessDenied();
    } else {
      becomeAbsent();
    }
    if (done)
      done(false);
    return;
  }
  auto objects = readManagedObjects(reply);
  if (!objects) {
    // What is known stays known while the objects are read one at a time.
    walkObjects(std::move(done));
    return;
  }
  objects_.replace(std::move(*objects));
  presence_ = Presence::present;
  notify({});
  if (done)
    done(true);
}

void BluezConnection::walkObjects(std::function<void(bool fetched)> done) {
  if (done)
    walkWaiters_.push_back(std::move(done));
  // A walk already under way may have passed objects that changed since: start it again.
  walk_ = std::make_unique<ObjectWalk>(
      bus_.get(),
      [this](const std::string& path, Interfaces interfaces) {
        objects_.addInterfaces(path, std::move(interfaces));
      },
      [this] { walkFinished(); });
  if (walk_->start() < 0)
    becomeAbsent();
}

void BluezConnection::walkFinished() {
  walk_.reset();
  presence_ = Presence::present;
  notify({});
  auto waiters = std::exchange(walkWaiters_, {});
  for (const auto& waiter : waiters)
    waiter(true);
}

void BluezConnection::noteAccessDenied() {
  if (accessDenied_)
    return;
  accessDenied_ = true;
  notify({});
}

void BluezConnection::becomeAbsent() {
  presence_ = Presence::absent;
  objects_.clear();
  walk_.reset();
  notify({});
  auto waiters = std::exchange(walkWaiters_, {});
  for (const auto& waiter : waiters)
    waiter(false);
}

void BluezConnection::notify(const ObjectsChange& change) {
  if (listener_ != nullptr)
    listener_->objectsChanged(change);
}

int BluezConnection::bluezSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  if (!self->sentByBluez(message))
    return 0;
  if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesAdded") > 0) {
    self->interfacesAdded(message);
  } else if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesRemoved") > 0) {
    self->interfacesRemoved(message);
  } else if (sd_bus_message_is_signal(message, kPropertiesInterface, "PropertiesChanged") > 0) {
    self->propertiesChanged(message);
  }
  return 0;
}

void BluezConnection::interfacesAdded(sd_bus_message* message) {
  auto added = readInterfacesAdded(message);
  if (!added)
    return;
  auto names = interfaceNames(added->interfaces);
  objects_.addInterfaces(added->path, std::move(added->interfaces));
  notify({ObjectsChange::Kind::interfacesAdded, added->path, std::move(names)});
}

void BluezConnection::interfacesRemoved(sd_bus_message* message) {
  auto removed = readInterfacesRemoved(message);
  if (!removed)
    return;
  objects_.removeInterfaces(removed->path, removed->interfaces);
  notify({ObjectsChange::Kind::interfacesRemoved, removed->path, std::move(removed->interfaces)});
}

void BluezConnection::propertiesChanged(sd_bus_message* message) {
  const char* path = sd_bus_message_get_path(message);
  auto changed = readPropertiesChanged(message);
  if (path == nullptr || !changed)
    return;
  if (!objects_.changeProperties(path, changed->interface, changed->changed,
                                 changed->invalidated)) {
    return;
  }
  notify({ObjectsChange::Kind::propertiesChanged, path, {changed->interface}});
}

int BluezConnection::nameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr || std::string_view(sender) != kBusService)
    return 0;
  auto changed = readNameOwnerChanged(message);
  if (!changed || changed->name != kBluezService)
    return 0;
  self->owner_ = changed->newOwner;
  if (!changed->oldOwner.empty())
    self->becomeAbsent();
  if (!changed->newOwner.empty())
    self->requestManagedObjects(nullptr);
  return 0;
}

int BluezConnection::busDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->becomeAbsent();
  // The closed bus is released later, from the timer, not from inside its own dispatch.
  self->reopenLater();
  return 0;
}

void BluezConnection::reopenLater() {
  if (reopen_)
    return;
  sd_event_source* source = nullptr;
  if (sd_event_add_time_relative(event_, &source, CLOCK_MONOTONIC, kReopenDelayUsec, 0,
                                 &BluezConnection::reopenDue, this) >= 0) {
    reopen_.reset(source);
  }
}

int BluezConnection::reopenDue(sd_event_source*, std::uint64_t, void* userdata) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->reopen_.reset();
  self->walk_.reset();
  self->ownerCall_.reset();
  self->owner_.clear();
  self->matches_.clear();
  self->bus_.reset();
  self->start();
  return 0;
}

int BluezConnection::addMatchReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const sd_bus_error* error = replyError(reply);
  if (error != nullptr && isAccessDenied(*error)) {
    static_cast<BluezConnection*>(userdata)->noteAccessDenied();
  }
  return 0;
}

}  // namespace norvel::ble::bluez
