#pragma once

#include <functional>
#include <list>
#include <string>

#include "ble/bluez/bus_gate.h"
#include "ble/bluez/object_tree.h"
#include "ble/bluez/sd_handles.h"

namespace norvel::ble::bluez {

// Reads bluetoothd's objects one at a time: Introspect from /org/bluez down, and GetAll for
// each interface this backend uses. It stands in for GetManagedObjects when that reply cannot
// be read whole: sd-bus refuses a string holding a Unicode noncharacter, which any device in
// radio range can put in its name, and one such string spoils the whole reply. Read this way,
// an unreadable object is skipped and every other object still arrives.
class ObjectWalk {
 public:
  // Only the answers the gate believes count; each object read is merged into `tree`.
  // `finished` runs once no call is left, and nothing of the walk runs after it, so it may
  // destroy the walk.
  ObjectWalk(sd_bus* bus, BusGate& gate, ObjectTree& tree, std::function<void()> finished);
  ObjectWalk(const ObjectWalk&) = delete;
  ObjectWalk& operator=(const ObjectWalk&) = delete;

  // Returns a negative errno when not even the first call could be sent.
  int start();

 private:
  // One pending call; the reply functions get it as userdata.
  struct Call {
    ObjectWalk* walk;
    std::string path;
    // Empty for Introspect, else the interface whose properties are asked for.
    std::string interface;
    BusSlotPtr slot;
    std::list<Call>::iterator self;
  };

  static int introspectReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int getAllReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  int send(const std::string& path, const std::string& interface);
  // Whether the reply is believed and no error; traces the answers it skips.
  bool answered(sd_bus_message* reply, const Call& call);
  // Forgets the answered call, then finishes the walk when it was the last one.
  void forget(const Call& call);

  sd_bus* bus_;
  BusGate& gate_;
  ObjectTree& tree_;
  std::function<void()> finished_;
  std::list<Call> calls_;
};

}  // namespace norvel::ble::bluez
