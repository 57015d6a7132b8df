// Messages shaped as bluetoothd's replies and signals, with fuzzer-chosen content, types and
// nesting, go to every reader: each must read exactly the well-formed messages of its
// signature. What was read is applied to an object tree, which is then queried.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "ble/bluez/device_identifier.h"
#include "ble/bluez/message_reading.h"
#include "ble/bluez/object_tree.h"
#include "ble/bluez/sd_handles.h"
#include "message_writer.h"

namespace {

using namespace norvel::ble::bluez;

constexpr const char* kShapes[] = {
    "a{oa{sa{sv}}}",  // GetManagedObjects reply
    "oa{sa{sv}}",     // InterfacesAdded
    "oas",            // InterfacesRemoved
    "sa{sv}as",       // PropertiesChanged
    "sss",            // NameOwnerChanged
    "ay",             // ReadValue reply
};
constexpr std::string_view kInterfaces[] = {"org.bluez.Adapter1", "org.bluez.Device1",
                                            "org.bluez.GattService1",
                                            "org.bluez.GattCharacteristic1"};

void expect(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "message_fuzzer: %s\n", what);
    std::abort();
  }
}

// A bus on one end of a socket pair, which never finishes connecting, creates the messages;
// sealed, they read as if received.
sd_bus* messageBus() {
  static sd_bus* const bus = [] {
    int fds[2];
    sd_bus* created = nullptr;
    expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) >= 0 &&
               sd_bus_new(&created) >= 0 && sd_bus_set_fd(created, fds[0], fds[0]) >= 0 &&
               sd_bus_start(created) >= 0,
           "no bus to create messages");
    return created;
  }();
  return bus;
}

BusMessagePtr buildMessage(FuzzedDataProvider& input) {
  static std::uint64_t cookie = 0;
  const char* shape = input.PickValueInArray(kShapes);
  const std::string path = norvel::fuzz::MessageWriter::objectPath(input);
  sd_bus_message* created = nullptr;
  expect(sd_bus_message_new_signal(messageBus(), &created, path.c_str(),
                                   "org.freedesktop.DBus.Properties", "PropertiesChanged") >= 0,
         "no message");
  BusMessagePtr message(created);
  if (!norvel::fuzz::MessageWriter(input, created).write(shape) ||
      sd_bus_message_seal(created, ++cookie, 0) < 0) {
    return nullptr;
  }
  return message;
}

// Whether sd-bus itself can read every value of the message.
bool wellFormed(sd_bus_message* message) {
  const char* signature = sd_bus_message_get_signature(message, 1);
  return sd_bus_message_rewind(message, 1) >= 0 && sd_bus_message_skip(message, signature) >= 0;
}

void readAndApply(sd_bus_message* message, ObjectTree& tree) {
  const std::string_view signature = sd_bus_message_get_signature(message, 1);
  const bool readable = wellFormed(message);
  auto readsIfWellFormed = [&](const auto& result, std::string_view expected, const char* reader) {
    expect(result.has_value() == (readable && signature == expected), reader);
  };

  const auto objects = readManagedObjects(message);
  readsIfWellFormed(objects, kShapes[0], "readManagedObjects");
  const auto added = readInterfacesAdded(message);
  readsIfWellFormed(added, kShapes[1], "readInterfacesAdded");
  const auto removed = readInterfacesRemoved(message);
  readsIfWellFormed(removed, kShapes[2], "readInterfacesRemoved");
  const auto changed = readPropertiesChanged(message);
  readsIfWellFormed(changed, kShapes[3], "readPropertiesChanged");
  readsIfWellFormed(readNameOwnerChanged(message), kShapes[4], "readNameOwnerChanged");
  readsIfWellFormed(readByteArray(message), kShapes[5], "readByteArray");

  if (objects)
    tree.replace(*objects);
  if (added) {
    tree.addInterfaces(added->path, added->interfaces);
    for (const auto& [name, properties] : added->interfaces) {
      const Properties* kept = tree.find(added->path, name);
      expect(kept != nullptr && *kept == properties, "added interface not kept");
    }
  }
  if (removed) {
    tree.removeInterfaces(removed->path, removed->interfaces);
    for (const auto& name : removed->interfaces)
      expect(tree.find(removed->path, name) == nullptr, "removed interface kept");
  }
  if (changed) {
    const std::string path = sd_bus_message_get_path(message);
    const bool known = tree.find(path, changed->interface) != nullptr;
    expect(tree.changeProperties(path, changed->interface, changed->changed,
                                 changed->invalidated) == known,
           "changeProperties result");
    const Properties* now = tree.find(path, changed->interface);
    for (const auto& [name, value] : changed->changed) {
      const bool invalidated =
          std::count(changed->invalidated.begin(), changed->invalidated.end(), name) > 0;
      expect(!known || invalidated || now->at(name) == value, "changed property not kept");
    }
    for (const auto& name : changed->invalidated)
      expect(!known || !now->contains(name), "invalidated property kept");
  }
}

void query(const ObjectTree& tree) {
  for (std::string_view interface : kInterfaces) {
    const auto all = tree.descendantsWith("", interface);
    expect(std::adjacent_find(all.begin(), all.end(), std::greater_equal<>()) == all.end(),
           "descendants not in object-path order");
    for (const auto& path : all)
      expect(tree.find(path, interface) != nullptr, "descendant without the interface");
    expect(tree.firstWith(interface) == (all.empty() ? std::nullopt : std::optional(all.front())),
           "firstWith is not the first");
    for (const auto& path : tree.descendantsWith("/org/bluez/hci0", interface))
      expect(path.starts_with("/org/bluez/hci0/"), "descendant outside its parent");
  }
  for (const auto& path : tree.descendantsWith("", "org.bluez.Device1")) {
    const Properties& device = *tree.find(path, "org.bluez.Device1");
    if (auto address = deviceAddress(path, device))
      identifierFromAddress(*address);
    stringProperty(device, "Name");
    boolProperty(device, "Connected");
    integerProperty(device, "RSSI");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  ObjectTree tree;
  for (int messages = 0; messages < 4 && input.remaining_bytes() > 0; ++messages) {
    if (auto message = buildMessage(input))
      readAndApply(message.get(), tree);
    query(tree);
  }
  return 0;
}
