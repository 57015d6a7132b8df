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

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/device_identifier.h"
#include "ble/bluez/message_reading.h"
#include "ble/bluez/object_tree.h"
#include "ble/bluez/sd_handles.h"
#include "introspection_xml.h"
#include "message_writer.h"

namespace {

using namespace norvel::ble::bluez;
using norvel::fuzz::kInterfaces;

constexpr std::string_view kManagedObjects = "a{oa{sa{sv}}}";  // GetManagedObjects reply
constexpr std::string_view kInterfacesAdded = "oa{sa{sv}}";
constexpr std::string_view kInterfacesRemoved = "oas";
constexpr std::string_view kPropertiesChanged = "sa{sv}as";
constexpr std::string_view kNameOwnerChanged = "sss";
constexpr std::string_view kAllProperties = "a{sv}";  // Properties.GetAll reply
constexpr std::string_view kIntrospection = "s";      // Introspect reply
constexpr std::string_view kByteArray = "ay";         // ReadValue reply
constexpr std::string_view kShapes[] = {kManagedObjects,    kInterfacesAdded,  kInterfacesRemoved,
                                        kPropertiesChanged, kNameOwnerChanged, kAllProperties,
                                        kIntrospection,     kByteArray};
constexpr std::string_view kWantedAdapters[] = {"hci0", "hci1", "C0:FF:EE:12:34:56",
                                                "c0:ff:ee:12:34:56", "dev_C0_FF_EE_12_34_56"};

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

struct Built {
  BusMessagePtr message;
  std::optional<norvel::fuzz::IntrospectionXml> xml;  // what an Introspect reply holds
};

Built buildMessage(FuzzedDataProvider& input) {
  static std::uint64_t cookie = 0;
  const std::string shape(input.PickValueInArray(kShapes));
  const std::string path = norvel::fuzz::MessageWriter::objectPath(input);
  sd_bus_message* created = nullptr;
  expect(sd_bus_message_new_signal(messageBus(), &created, path.c_str(),
                                   "org.freedesktop.DBus.Properties", "PropertiesChanged") >= 0,
         "no message");
  Built built{BusMessagePtr(created), std::nullopt};
  norvel::fuzz::MessageWriter writer(input, created);
  if (shape == kIntrospection && input.ConsumeBool()) {
    built.xml = norvel::fuzz::introspectionXml(input);
    if (!writer.writeString(built.xml->xml))
      return {};
  } else if (!writer.write(shape)) {
    return {};
  }
  if (sd_bus_message_seal(created, ++cookie, 0) < 0)
    return {};
  return built;
}

// Whether sd-bus itself can read every value of the message.
bool wellFormed(sd_bus_message* message) {
  const char* signature = sd_bus_message_get_signature(message, 1);
  return sd_bus_message_rewind(message, 1) >= 0 && sd_bus_message_skip(message, signature) >= 0;
}

bool sameIntrospection(const Introspection& a, const Introspection& b) {
  return a.children == b.children && a.interfaces == b.interfaces;
}

void checkIntrospection(const norvel::fuzz::IntrospectionXml& xml,
                        const std::optional<Introspection>& read) {
  const Introspection parsed = parseIntrospection(xml.xml);
  for (const auto& child : parsed.children) {
    expect(!child.empty() && child.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnop"
                                                     "qrstuvwxyz0123456789_") == std::string::npos,
           "child is not a path element");
  }
  expect(!xml.says || sameIntrospection(parsed, *xml.says), "introspection misread");
  expect(!read || sameIntrospection(parsed, *read), "introspection reply misread");
}

void addInterfaces(ObjectTree& tree, const std::string& path, const Interfaces& interfaces) {
  tree.addInterfaces(path, interfaces);
  for (const auto& [name, properties] : interfaces) {
    const Properties* kept = tree.find(path, name);
    expect(kept != nullptr && *kept == properties, "added interface not kept");
  }
}

void changeProperties(ObjectTree& tree, const std::string& path, const PropertiesChanged& change) {
  const bool known = tree.find(path, change.interface) != nullptr;
  expect(tree.changeProperties(path, change.interface, change.changed, change.invalidated) == known,
         "changeProperties result");
  if (!known)
    return;
  const Properties& now = *tree.find(path, change.interface);
  for (const auto& [name, value] : change.changed) {
    const auto& gone = change.invalidated;
    expect(std::find(gone.begin(), gone.end(), name) != gone.end() || now.at(name) == value,
           "changed property not kept");
  }
  for (const auto& name : change.invalidated)
    expect(!now.contains(name), "invalidated property kept");
}

void readAndApply(FuzzedDataProvider& input, const Built& built, ObjectTree& tree) {
  sd_bus_message* message = built.message.get();
  const std::string_view signature = sd_bus_message_get_signature(message, 1);
  const std::string path = sd_bus_message_get_path(message);
  const bool readable = wellFormed(message);
  auto readsIfWellFormed = [&](const auto& result, std::string_view expected, const char* reader) {
    expect(result.has_value() == (readable && signature == expected), reader);
  };

  const auto objects = readManagedObjects(message);
  readsIfWellFormed(objects, kManagedObjects, "readManagedObjects");
  const auto added = readInterfacesAdded(message);
  readsIfWellFormed(added, kInterfacesAdded, "readInterfacesAdded");
  const auto removed = readInterfacesRemoved(message);
  readsIfWellFormed(removed, kInterfacesRemoved, "readInterfacesRemoved");
  const auto changed = readPropertiesChanged(message);
  readsIfWellFormed(changed, kPropertiesChanged, "readPropertiesChanged");
  readsIfWellFormed(readNameOwnerChanged(message), kNameOwnerChanged, "readNameOwnerChanged");
  const auto all = readAllProperties(message);
  readsIfWellFormed(all, kAllProperties, "readAllProperties");
  const auto introspection = readIntrospection(message);
  readsIfWellFormed(introspection, kIntrospection, "readIntrospection");
  readsIfWellFormed(readByteArray(message), kByteArray, "readByteArray");

  if (built.xml)
    checkIntrospection(*built.xml, introspection);
  if (objects)
    tree.replace(*objects);
  if (added)
    addInterfaces(tree, added->path, added->interfaces);
  if (all)
    addInterfaces(tree, path, {{std::string(input.PickValueInArray(kInterfaces)), *all}});
  if (removed) {
    tree.removeInterfaces(removed->path, removed->interfaces);
    for (const auto& name : removed->interfaces)
      expect(tree.find(removed->path, name) == nullptr, "removed interface kept");
  }
  if (changed)
    changeProperties(tree, path, *changed);
}

bool isBelow(const std::string& path, const std::string& ancestor) {
  return path != ancestor && (ancestor == "/" || path.starts_with(ancestor + "/"));
}

void query(FuzzedDataProvider& input, const ObjectTree& tree) {
  for (std::string_view interface : kInterfaces) {
    const auto all = tree.descendantsWith("", interface);
    expect(std::adjacent_find(all.begin(), all.end(), std::greater_equal<>()) == all.end(),
           "descendants not in object-path order");
    std::vector<std::string> outermost;
    for (const auto& path : all) {
      expect(tree.find(path, interface) != nullptr, "descendant without the interface");
      if (std::none_of(all.begin(), all.end(), [&](const auto& p) { return isBelow(path, p); }))
        outermost.push_back(path);
    }
    expect(tree.outermostWith(interface) == outermost, "outermostWith");
    for (const auto& path : tree.descendantsWith("/org/bluez/hci0", interface))
      expect(path.starts_with("/org/bluez/hci0/"), "descendant outside its parent");
  }
  const auto adapters = tree.outermostWith("org.bluez.Adapter1");
  auto powered = std::find_if(adapters.begin(), adapters.end(), [&](const std::string& path) {
    return boolProperty(*tree.find(path, "org.bluez.Adapter1"), "Powered").value_or(false);
  });
  const auto expected = powered != adapters.end() ? std::optional(*powered)
                        : adapters.empty()        ? std::nullopt
                                                  : std::optional(adapters.front());
  expect(chooseAdapter(tree, std::nullopt) == expected, "chooseAdapter without a name");
  const std::string wanted = input.ConsumeBool()
                                 ? input.ConsumeRandomLengthString(20)
                                 : std::string(input.PickValueInArray(kWantedAdapters));
  if (const auto chosen = chooseAdapter(tree, wanted)) {
    const auto address = stringProperty(*tree.find(*chosen, "org.bluez.Adapter1"), "Address");
    const auto wantedAddress = parseDeviceAddress(wanted);
    expect(std::find(adapters.begin(), adapters.end(), *chosen) != adapters.end() &&
               (chosen->ends_with("/" + wanted) ||
                (wantedAddress && address && parseDeviceAddress(*address) == wantedAddress)),
           "chooseAdapter chose another adapter");
  }
  for (const auto& path : tree.descendantsWith("", "org.bluez.Device1")) {
    const Properties& device = *tree.find(path, "org.bluez.Device1");
    if (auto address = deviceAddress(path, device))
      identifierFromAddress(*address);
    stringProperty(device, "Name");
    integerProperty(device, "RSSI");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  ObjectTree tree;
  for (int messages = 0; messages < 4 && input.remaining_bytes() > 0; ++messages) {
    const Built built = buildMessage(input);
    if (built.message)
      readAndApply(input, built, tree);
    query(input, tree);
  }
  return 0;
}
