#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ble/bluez/object_tree.h"
#include "ble/bluez/object_walk.h"
#include "ble/bluez/sd_handles.h"

namespace norvel::ble::bluez {

// What changed in bluetoothd's objects, or in whether they can be known at all.
struct ObjectsChange {
  enum class Kind {
    // The whole tree was fetched again or dropped, or reachability or access changed.
    reloaded,
    interfacesAdded,
    interfacesRemoved,
    propertiesChanged,
  };
  Kind kind = Kind::reloaded;
  std::string path;
  // The interfaces added or removed, or the one whose properties changed.
  std::vector<std::string> interfaces;
};

// The process's link to bluetoothd: the system bus on the main loop, and bluetoothd's object
// tree, fetched whole when bluetoothd (re)appears and kept current from its signals.
//
// Only bluetoothd is believed. A match rule's sender filters broadcasts alone: a signal sent
// to this process directly arrives whoever sent it. So bluetoothd's signals count only when
// their sender is the unique name that owns org.bluez, and a change of that owner only when
// the bus itself announces it.
class BluezConnection : public std::enable_shared_from_this<BluezConnection> {
 public:
  enum class Presence {
    // Waiting for bluetoothd's first answer.
    unknown,
    // No system bus, no bluetoothd on it, or it failed to answer.
    absent,
    present,
  };

  class Listener {
   public:
    virtual ~Listener() = default;
    // Called after the change has been applied to the tree.
    virtual void objectsChanged(const ObjectsChange& change) = 0;
  };

  explicit BluezConnection(sd_event* event);
  BluezConnection(const BluezConnection&) = delete;
  BluezConnection& operator=(const BluezConnection&) = delete;
  ~BluezConnection();

  // The listener is not owned; pass null before it goes away.
  void setListener(Listener* listener) { listener_ = listener; }

  // Opens the system bus on the loop, subscribes to bluetoothd's signals and to its name
  // changing owner, then asks for its objects. Nothing here waits for bluetoothd. While
  // there is no system bus, or after it went away, opening it is tried again every second.
  void start();

  // Fetches the whole tree again. `done` runs once: with true when the fetched tree is in
  // place, with false when it could not be fetched (then the tree is bluetoothd's absence).
  void refreshObjects(std::function<void(bool fetched)> done);

  // Records a refusal of any request: from then on this process counts as not authorized.
  void noteAccessDenied();

  Presence presence() const { return presence_; }
  bool accessDenied() const { return accessDenied_; }
  const ObjectTree& objects() const { return objects_; }
  // Null when no bus could be opened.
  sd_bus* bus() const { return bus_.get(); }

 private:
  static int bluezSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int nameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int busDisconnected(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int addMatchReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int nameOwnerReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int reopenDue(sd_event_source* source, std::uint64_t usec, void* userdata);

  bool subscribe();
  void requestOwner();
  void requestManagedObjects(std::function<void(bool fetched)> done);
  void managedObjectsReply(sd_bus_message* reply, std::function<void(bool fetched)> done);
  void walkObjects(std::function<void(bool fetched)> done);
  void walkFinished();
  bool sentByBluez(sd_bus_message* message) const;
  void interfacesAdded(sd_bus_message* message);
  void interfacesRemoved(sd_bus_message* message);
  void propertiesChanged(sd_bus_message* message);
  void becomeAbsent();
  void reopenLater();
  void notify(const ObjectsChange& change);

  sd_event* event_;
  Listener* listener_ = nullptr;
  Presence presence_ = Presence::unknown;
  bool accessDenied_ = false;
  // The unique name of the connection that owns org.bluez; empty while nobody does.
  std::string owner_;
  ObjectTree objects_;
  EventSourcePtr reopen_;
  BusPtr bus_;
  // Declared after the bus so that they are released before it.
  std::vector<BusSlotPtr> matches_;
  BusSlotPtr ownerCall_;
  std::unique_ptr<ObjectWalk> walk_;
  // Those waiting for the walk under way: a refresh whose reply could not be read whole.
  std::vector<std::function<void(bool fetched)>> walkWaiters_;
};

}  // namespace norvel::ble::bluez
