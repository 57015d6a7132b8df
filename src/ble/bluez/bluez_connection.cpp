#include "ble/bluez/bluez_connection.h"

#include <time.h>

#include <algorithm>
#include <utility>

#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/message_reading.h"

namespace norvel::ble::bluez {
namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kLocalName = "org.freedesktop.DBus.Local";

constexpr const char* kBluezSignalsRule = "type='signal',sender='org.bluez'";
constexpr const char* kBluezOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";

constexpr std::uint64_t kReopenDelayUsec = 1'000'000;

// bluetoothd may take about 40 s to give up on a peer that does not answer a Connect. With
// the bus default of 25 s the call would end in NoReply while bluetoothd goes on trying; the
// run's own deadline ends every call long before this.
constexpr std::uint64_t kCallTimeoutUsec = 60'000'000;

bool isFrom(sd_bus_message* message, std::string_view name) {
  const char* sender = sd_bus_message_get_sender(message);
  return sender != nullptr && !name.empty() && name == sender;
}

}  // namespace

BluezConnection::BluezConnection(sd_event* event, Listener& listener)
    : event_(event), listener_(listener) {}

void BluezConnection::start() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) >= 0) {
    bus_.reset(bus);
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  }
  if (!bus_ || sd_bus_attach_event(bus, event_, SD_EVENT_PRIORITY_NORMAL) < 0 || subscribe() < 0) {
    matches_.clear();
    bus_.reset();
    becomeAbsent();
    reopenLater();
    return;
  }
  // The match rules are sent first, so no change between the reply and them is missed. The
  // bus answers who owns org.bluez before it passes the object request on, so every signal
  // that comes after the objects is checked against the right sender.
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(bus, &slot, kBusName, "/org/freedesktop/DBus", kBusName,
                               "GetNameOwner", &BluezConnection::getNameOwnerReply, this, "s",
                               kBluezService) >= 0) {
    getNameOwnerCall_.reset(slot);
  }
  fetchObjects();
}

int BluezConnection::subscribe() {
  sd_bus* bus = bus_.get();
  sd_bus_slot* slots[3] = {};
  int r = sd_bus_add_match_async(bus, &slots[0], kBluezSignalsRule, &BluezConnection::bluezSignal,
                                 &BluezConnection::addMatchReply, this);
  if (r >= 0) {
    r = sd_bus_add_match_async(bus, &slots[1], kBluezOwnerRule, &BluezConnection::nameOwnerChanged,
                               &BluezConnection::addMatchReply, this);
  }
  if (r >= 0) {
    r = sd_bus_match_signal_async(bus, &slots[2], nullptr, "/org/freedesktop/DBus/Local",
                                  kLocalName, "Disconnected", &BluezConnection::busDisconnected,
                                  nullptr, this);
  }
  for (sd_bus_slot* slot : slots) {
    if (slot != nullptr)
      matches_.emplace_back(slot);
  }
  return r;
}

bool BluezConnection::trusts(sd_bus_message* reply) const {
  return sd_bus_message_get_sender(reply) == nullptr || isFrom(reply, owner_) ||
         isFrom(reply, kBusName) || isFrom(reply, kLocalName);
}

bool BluezConnection::refusedAccess(sd_bus_message* reply) {
  if (!isAccessDenied(reply))
    return false;
  if (!accessDenied_) {
    accessDenied_ = true;
    listener_.objectsChanged({});
  }
  return true;
}

void BluezConnection::refreshObjects(std::function<void(bool fetched)> done) {
  fetchWaiters_.push_back(std::move(done));
  fetchObjects();
}

// A request still pending is dropped: its answer may predate what the waiters wait for.
void BluezConnection::fetchObjects() {
  if (callBluez(bus_.get(), getManagedObjectsCall_, "/", kObjectManagerInterface,
                "GetManagedObjects", &BluezConnection::getManagedObjectsReply, this, "") < 0) {
    finishFetch(false);
  }
}

int BluezConnection::getManagedObjectsReply(sd_bus_message* reply, void* userdata,
                                            sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->getManagedObjectsCall_.reset();
  if (!self->trusts(reply))
    return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!self->refusedAccess(reply))
      self->becomeAbsent();
    self->finishFetch(false);
    return 0;
  }
  Objects objects;
  if (readManagedObjects(reply, objects) < 0) {
    // What is known stays known while the objects are read one at a time.
    self->walkObjects();
    return 0;
  }
  self->walk_.reset();
  self->objects_.replace(std::move(objects));
  self->finishFetch(true);
  return 0;
}

void BluezConnection::walkObjects() {
  // A walk already under way may have passed objects that changed since: start it again.
  walk_ = std::make_unique<ObjectWalk>(bus_.get(), owner_, objects_, [this] {
    walk_.reset();
    finishFetch(true);
  });
  if (walk_->start() < 0)
    becomeAbsent();
}

// The waiters are taken first: any that the listener adds wait for the fetch it asks for.
void BluezConnection::finishFetch(bool fetched) {
  auto waiters = std::exchange(fetchWaiters_, {});
  if (fetched) {
    presence_ = Presence::present;
    listener_.objectsChanged({});
  }
  for (const auto& waiter : waiters)
    waiter(fetched);
}

void BluezConnection::becomeAbsent() {
  presence_ = Presence::absent;
  objects_.clear();
  walk_.reset();
  listener_.objectsChanged({});
  finishFetch(false);
}

// Signals sd-bus cannot read are skipped; the object they are about stays as it was.
int BluezConnection::bluezSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<BluezConnection*>(userdata);
  std::string path;
  if (!isFrom(message, self.owner_))
    return 0;
  if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesAdded") > 0) {
    Interfaces added;
    if (readInterfacesAdded(message, path, added) >= 0) {
      const bool isDevice = added.contains(kDeviceInterface);
      self.objects_.addInterfaces(path, std::move(added));
      self.listener_.objectsChanged(isDevice ? path : "");
    }
  } else if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesRemoved") > 0) {
    std::vector<std::string> removed;
    if (readInterfacesRemoved(message, path, removed) >= 0) {
      self.objects_.removeInterfaces(path, removed);
      self.listener_.objectsChanged({});
    }
  } else if (sd_bus_message_is_signal(message, kPropertiesInterface, "PropertiesChanged") > 0) {
    std::string interface;
    Properties changed;
    std::vector<std::string> invalidated;
    if (const char* object = sd_bus_message_get_path(message))
      path = object;
    if (readPropertiesChanged(message, interface, changed, invalidated) >= 0 &&
        self.objects_.changeProperties(path, interface, changed, invalidated)) {
      self.listener_.objectsChanged(path);
    }
  }
  return 0;
}

int BluezConnection::nameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (!isFrom(message, kBusName) ||
      sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 ||
      std::string_view(name) != kBluezService) {
    return 0;
  }
  self->owner_ = newOwner;
  if (*oldOwner != '\0')
    self->becomeAbsent();
  if (*newOwner != '\0')
    self->fetchObjects();
  return 0;
}

// An error here is NameHasNoOwner: bluetoothd is not there yet, and the bus will announce it.
int BluezConnection::getNameOwnerReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->getNameOwnerCall_.reset();
  const char* owner = nullptr;
  if (isFrom(reply, kBusName) && !sd_bus_message_is_method_error(reply, nullptr) &&
      sd_bus_message_read(reply, "s", &owner) > 0) {
    self->owner_ = owner;
  }
  return 0;
}

int BluezConnection::addMatchReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezConnection*>(userdata);
  if (self->trusts(reply))
    self->refusedAccess(reply);
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
  sd_event_source* source = nullptr;
  if (!reopen_ && sd_event_add_time_relative(event_, &source, CLOCK_MONOTONIC, kReopenDelayUsec, 0,
                                             &BluezConnection::reopenDue, this) >= 0) {
    reopen_.reset(source);
  }
}

int BluezConnection::reopenDue(sd_event_source*, std::uint64_t, void* userdata) {
  auto* self = static_cast<BluezConnection*>(userdata);
  self->reopen_.reset();
  self->walk_.reset();
  self->getNameOwnerCall_.reset();
  self->getManagedObjectsCall_.reset();
  self->owner_.clear();
  self->matches_.clear();
  self->bus_.reset();
  self->start();
  return 0;
}

}  // namespace norvel::ble::bluez
