#include "ble/bluez/bluetoothd_client.h"

#include <time.h>

#include <array>
#include <cstring>
#include <span>
#include <utility>

#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/message_reading.h"
#include "ble/trace.h"

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

// The properties this backend reads, by interface: what is asked for again, one at a time,
// when a signal that changed them cannot be read whole.
const std::array<const char*, 2> kAdapterProperties = {"Powered", "Address"};
const std::array<const char*, 5> kDeviceProperties = {"Connected", "ServicesResolved", "RSSI",
                                                      "Name", "Address"};

const char* errorText(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return error->message != nullptr ? error->message : error->name;
}

}  // namespace

BluetoothdClient::BluetoothdClient(sd_event* event, Listener& listener)
    : event_(event), listener_(listener), gate_([this] { listener_.objectsChanged({}); }) {}

void BluetoothdClient::start() {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r >= 0) {
    bus_.reset(bus);
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    r = sd_bus_attach_event(bus, event_, SD_EVENT_PRIORITY_NORMAL);
  }
  if (r >= 0)
    r = subscribe();
  if (r < 0) {
    trace("system bus: cannot use it (%s), trying again in 1 s", std::strerror(-r));
    matches_.clear();
    bus_.reset();
    forgetBluetoothd("unreachable without a system bus");
    reopenLater();
    return;
  }
  // The match rules are sent first, so no change between the reply and them is missed. The
  // bus answers who owns org.bluez before it passes the object request on, so every signal
  // that comes after the objects is checked against the right sender.
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(bus, &slot, kBusName, "/org/freedesktop/DBus", kBusName,
                               "GetNameOwner", &BluetoothdClient::getNameOwnerReply, this, "s",
                               kBluezService) >= 0) {
    getNameOwnerCall_.reset(slot);
  }
  fetchObjects();
}

int BluetoothdClient::subscribe() {
  sd_bus* bus = bus_.get();
  sd_bus_slot* slots[3] = {};
  int r = sd_bus_add_match_async(bus, &slots[0], kBluezSignalsRule, &BluetoothdClient::bluezSignal,
                                 &BluetoothdClient::addMatchReply, this);
  if (r >= 0) {
    r = sd_bus_add_match_async(bus, &slots[1], kBluezOwnerRule, &BluetoothdClient::nameOwnerChanged,
                               &BluetoothdClient::addMatchReply, this);
  }
  if (r >= 0) {
    r = sd_bus_match_signal_async(bus, &slots[2], nullptr, "/org/freedesktop/DBus/Local",
                                  kLocalName, "Disconnected", &BluetoothdClient::busDisconnected,
                                  nullptr, this);
  }
  for (sd_bus_slot* slot : slots) {
    if (slot != nullptr)
      matches_.emplace_back(slot);
  }
  return r;
}

void BluetoothdClient::refreshObjects(std::function<void(bool fetched)> done) {
  fetchWaiters_.push_back(std::move(done));
  fetchObjects();
}

// A request still pending is dropped: its answer may predate what the waiters wait for.
void BluetoothdClient::fetchObjects() {
  int r = callBluez(bus_.get(), getManagedObjectsCall_, "/", kObjectManagerInterface,
                    "GetManagedObjects", &BluetoothdClient::getManagedObjectsReply, this, "");
  if (r < 0) {
    trace("GetManagedObjects: not sent (%s)", std::strerror(-r));
    finishFetch(false);
  }
}

int BluetoothdClient::getManagedObjectsReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  self->getManagedObjectsCall_.reset();
  if (!self->believe(reply, "GetManagedObjects"))
    return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    trace("GetManagedObjects failed: %s", errorText(reply));
    self->forgetBluetoothd("did not give its objects");
    return 0;
  }
  Objects objects;
  if (int r = readManagedObjects(reply, objects); r < 0) {
    // What is known stays known while the objects are read one at a time.
    trace("GetManagedObjects: reply unreadable (%s), reading the objects one at a time",
          std::strerror(-r));
    self->walkObjects();
    return 0;
  }
  trace("bluetoothd's objects fetched: %zu", objects.size());
  self->walk_.reset();
  self->objects_.replace(std::move(objects));
  self->finishFetch(true);
  return 0;
}

void BluetoothdClient::walkObjects() {
  // A walk already under way may have passed objects that changed since: start it again.
  walk_ = std::make_unique<ObjectWalk>(bus_.get(), gate_, objects_, [this] {
    trace("bluetoothd's objects read one at a time");
    walk_.reset();
    finishFetch(true);
  });
  if (walk_->start() < 0)
    forgetBluetoothd("could not be asked for its objects");
}

// The waiters are taken first: any that the listener adds wait for the fetch it asks for.
void BluetoothdClient::finishFetch(bool fetched) {
  auto waiters = std::exchange(fetchWaiters_, {});
  if (fetched) {
    presence_ = Presence::present;
    listener_.objectsChanged({});
  }
  for (const auto& waiter : waiters)
    waiter(fetched);
}

// The one teardown of what a bluetoothd that went away (or never answered) had said; its
// unique name is the caller's to change.
void BluetoothdClient::forgetBluetoothd(const char* why) {
  trace("bluetoothd %s: its objects are forgotten", why);
  presence_ = Presence::absent;
  objects_.clear();
  walk_.reset();
  getManagedObjectsCall_.reset();
  propertyReads_.clear();
  listener_.objectsChanged({});
  finishFetch(false);
}

int BluetoothdClient::bluezSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<BluetoothdClient*>(userdata);
  if (!self.gate_.believeSignal(message))
    return 0;
  std::string path;
  if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesAdded") > 0) {
    Interfaces added;
    if (int r = readInterfacesAdded(message, path, added); r < 0) {
      trace("InterfacesAdded of %s unreadable (%s), ignoring", path.c_str(), std::strerror(-r));
      return 0;
    }
    const bool isDevice = added.contains(kDeviceInterface);
    self.objects_.addInterfaces(path, std::move(added));
    self.listener_.objectsChanged(isDevice ? path : "");
  } else if (sd_bus_message_is_signal(message, kObjectManagerInterface, "InterfacesRemoved") > 0) {
    std::vector<std::string> removed;
    if (int r = readInterfacesRemoved(message, path, removed); r < 0) {
      trace("InterfacesRemoved of %s unreadable (%s), ignoring", path.c_str(), std::strerror(-r));
      return 0;
    }
    self.objects_.removeInterfaces(path, removed);
    self.listener_.objectsChanged({});
  } else if (sd_bus_message_is_signal(message, kPropertiesInterface, "PropertiesChanged") > 0) {
    self.applyPropertiesChanged(message);
  }
  return 0;
}

// A signal that cannot be read whole (a name with a Unicode noncharacter beside
// ServicesResolved, say) must not hide its other changes: the properties this backend reads
// are then asked for one at a time.
void BluetoothdClient::applyPropertiesChanged(sd_bus_message* message) {
  const char* object = sd_bus_message_get_path(message);
  const std::string path = object != nullptr ? object : "";
  std::string interface;
  Properties changed;
  std::vector<std::string> invalidated;
  if (int r = readPropertiesChanged(message, interface, changed, invalidated); r < 0) {
    trace("PropertiesChanged of %s %s unreadable (%s)", path.c_str(), interface.c_str(),
          std::strerror(-r));
    rereadProperties(path, interface);
    return;
  }
  if (objects_.changeProperties(path, interface, changed, invalidated))
    listener_.objectsChanged(interface == kDeviceInterface ? path : "");
}

void BluetoothdClient::rereadProperties(const std::string& path, const std::string& interface) {
  if (objects_.find(path, interface) == nullptr)
    return;
  const auto& names =
      interface == kDeviceInterface    ? std::span<const char* const>(kDeviceProperties)
      : interface == kAdapterInterface ? std::span<const char* const>(kAdapterProperties)
                                       : std::span<const char* const>();
  if (!names.empty())
    trace("asking bluetoothd for %zu properties of %s one at a time", names.size(), path.c_str());
  for (const char* name : names) {
    auto read = propertyReads_.insert(propertyReads_.end(),
                                      PropertyRead{this, path, interface, name, nullptr, {}});
    read->self = read;
    int r = callBluez(bus_.get(), read->slot, path, kPropertiesInterface, "Get",
                      &BluetoothdClient::getPropertyReply, &*read, "ss", interface.c_str(), name);
    if (r < 0) {
      trace("Get %s of %s: not sent (%s)", name, path.c_str(), std::strerror(-r));
      propertyReads_.erase(read);
    }
  }
}

int BluetoothdClient::getPropertyReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* read = static_cast<PropertyRead*>(userdata);
  BluetoothdClient& self = *read->client;
  const PropertyRead asked = std::move(*read);
  self.propertyReads_.erase(asked.self);
  if (!self.believe(reply, "Get"))
    return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    trace("Get %s of %s failed (%s), keeping what is known", asked.name.c_str(), asked.path.c_str(),
          errorText(reply));
    return 0;
  }
  PropertyValue value;
  if (int r = readPropertyValue(reply, value); r < 0) {
    trace("Get %s of %s: reply unreadable (%s), keeping what is known", asked.name.c_str(),
          asked.path.c_str(), std::strerror(-r));
    return 0;
  }
  if (self.objects_.changeProperties(asked.path, asked.interface, {{asked.name, value}}, {}))
    self.listener_.objectsChanged(asked.interface == kDeviceInterface ? asked.path : "");
  return 0;
}

int BluetoothdClient::nameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (!self->gate_.believeSignal(message))
    return 0;
  if (int r = sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner); r < 0) {
    trace("NameOwnerChanged unreadable (%s), ignoring", std::strerror(-r));
    return 0;
  }
  if (std::string_view(name) != kBluezService)
    return 0;
  self->gate_.setBluetoothd(newOwner);
  if (*oldOwner != '\0')
    self->forgetBluetoothd("left the bus");
  if (*newOwner != '\0') {
    trace("bluetoothd joined the bus as %s", newOwner);
    self->fetchObjects();
  }
  return 0;
}

// An error here is NameHasNoOwner: bluetoothd is not there yet, and the bus will announce it.
int BluetoothdClient::getNameOwnerReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  self->getNameOwnerCall_.reset();
  const char* owner = nullptr;
  if (!self->believe(reply, "GetNameOwner"))
    return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    trace("bluetoothd is not on the bus (%s): waiting for it", errorText(reply));
  } else if (int r = sd_bus_message_read(reply, "s", &owner); r < 0) {
    trace("GetNameOwner: reply unreadable (%s), ignoring", std::strerror(-r));
  } else {
    trace("bluetoothd is %s", owner);
    self->gate_.setBluetoothd(owner);
  }
  return 0;
}

int BluetoothdClient::addMatchReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  if (self->believe(reply, "AddMatch") && sd_bus_message_is_method_error(reply, nullptr))
    trace("AddMatch failed (%s), ignoring: some of bluetoothd's news will be missed",
          errorText(reply));
  return 0;
}

int BluetoothdClient::busDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  trace("system bus: connection lost, opening it again in 1 s");
  self->forgetBluetoothd("is out of reach without the system bus");
  // The closed bus is released later, from the timer, not from inside its own dispatch.
  self->reopenLater();
  return 0;
}

void BluetoothdClient::reopenLater() {
  sd_event_source* source = nullptr;
  if (!reopen_ && sd_event_add_time_relative(event_, &source, CLOCK_MONOTONIC, kReopenDelayUsec, 0,
                                             &BluetoothdClient::reopenDue, this) >= 0) {
    reopen_.reset(source);
  }
}

int BluetoothdClient::reopenDue(sd_event_source*, std::uint64_t, void* userdata) {
  auto* self = static_cast<BluetoothdClient*>(userdata);
  self->reopen_.reset();
  self->gate_.setBluetoothd({});
  self->getNameOwnerCall_.reset();
  self->matches_.clear();
  self->bus_.reset();
  self->start();
  return 0;
}

}  // namespace norvel::ble::bluez
