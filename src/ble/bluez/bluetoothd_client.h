#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/bus_gate.h"
#include "ble/bluez/object_tree.h"
#include "ble/bluez/object_walk.h"
#include "ble/bluez/sd_handles.h"

namespace norvel::ble::bluez {

// The process's link to bluetoothd: the system bus on the main loop, and bluetoothd's object
// tree, fetched whole when bluetoothd (re)appears and kept current from its signals, which
// only the gate's believed ones change.
class BluetoothdClient {
 public:
  // Absent: no system bus, no bluetoothd on it, or it failed to answer.
  enum class Presence { unknown, absent, present };

  class Listener {
   public:
    virtual ~Listener() = default;
    // Called after each change has been applied to the tree. `sighted` is the object whose
    // Device1 interface was just added or whose properties changed; empty for other changes.
    virtual void objectsChanged(std::string_view sighted) = 0;
  };

  BluetoothdClient(sd_event* event, Listener& listener);
  BluetoothdClient(const BluetoothdClient&) = delete;
  BluetoothdClient& operator=(const BluetoothdClient&) = delete;

  // Opens the system bus on the loop, subscribes to bluetoothd's signals and to its name
  // changing owner, then asks for its objects. Nothing here waits for bluetoothd. While
  // there is no system bus, or after it went away, opening it is tried again every second.
  void start();

  // Fetches the whole tree again. `done` runs once: with true when a tree fetched after this
  // call is in place, with false when it could not be fetched.
  void refreshObjects(std::function<void(bool fetched)> done);

  // Whether to act on the reply to `call` (see BusGate).
  bool believe(sd_bus_message* reply, const char* call) { return gate_.believeReply(reply, call); }

  Presence presence() const { return presence_; }
  bool accessDenied() const { return gate_.accessDenied(); }
  const ObjectTree& objects() const { return objects_; }
  sd_bus* bus() const { return bus_.get(); }

 private:
  // One Properties.Get of a property whose change came in a signal that could not be read.
  struct PropertyRead {
    BluetoothdClient* client;
    std::string path;
    std::string interface;
    std::string name;
    BusSlotPtr slot;
    std::list<PropertyRead>::iterator self;
  };

  static int bluezSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int nameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int busDisconnected(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int addMatchReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int getNameOwnerReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int getManagedObjectsReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int getPropertyReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int reopenDue(sd_event_source* source, std::uint64_t usec, void* userdata);

  int subscribe();
  void fetchObjects();
  void walkObjects();
  void finishFetch(bool fetched);
  void applyPropertiesChanged(sd_bus_message* message);
  void rereadProperties(const std::string& path, const std::string& interface);
  void forgetBluetoothd(const char* why);
  void reopenLater();

  sd_event* event_;
  Listener& listener_;
  BusGate gate_;
  Presence presence_ = Presence::unknown;
  ObjectTree objects_;
  std::vector<std::function<void(bool fetched)>> fetchWaiters_;
  EventSourcePtr reopen_;
  BusPtr bus_;
  // Declared after the bus so that they are released before it.
  std::vector<BusSlotPtr> matches_;
  BusSlotPtr getNameOwnerCall_;
  BusSlotPtr getManagedObjectsCall_;
  std::list<PropertyRead> propertyReads_;
  std::unique_ptr<ObjectWalk> walk_;
};

}  // namespace norvel::ble::bluez
