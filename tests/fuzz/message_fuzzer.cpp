// Messages shaped as bluetoothd's replies and signals, with fuzzer-chosen values (strings of
// any bytes, even ones sd-bus refuses to read), go to every reader: each must read exactly the
// well-formed messages of its signature. What was read goes into an object tree, from which
// the adapter is chosen and the devices' identifiers are derived.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/device_identifier.h"
#include "ble/bluez/message_reading.h"

namespace {

using namespace norvel::ble::bluez;

constexpr const char* kShapes[] = {"a{oa{sa{sv}}}", "oa{sa{sv}}", "oas", "sa{sv}as", "a{sv}", "s"};
constexpr const char* kPaths[] = {"/", "/org/bluez", "/org/bluez/hci0", "/org/bluez/hci1",
                                  "/org/bluez/hci0/dev_C0_FF_EE_12_34_56"};
constexpr const char* kTexts[] = {
    kAdapterInterface,
    kDeviceInterface,
    "Address",
    "Powered",
    "Name",
    "RSSI",
    "hci1",
    "C0:FF:EE:12:34:56",
    "<node><!-- x --><node name='hci0'/><interface name=\"a.B\"/></node>"};
constexpr const char* kVariantTypes[] = {"b", "s", "o", "n", "u", "as", "ay", "a{sv}", "v"};

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

// Where the complete type at `type` ends.
const char* skipType(const char* type) {
  if (*type == 'a')
    return skipType(type + 1);
  return *type == '{' ? skipType(skipType(type + 1)) + 1 : type + 1;
}

void append(FuzzedDataProvider& in, sd_bus_message* m, const std::string& types, int depth) {
  for (const char* type = types.c_str(); *type != '\0'; type = skipType(type)) {
    const std::string element(type + 1, skipType(type));
    if (*type == 'a' || *type == 'v') {
      const std::string contents = *type == 'a' ? element
                                   : depth < 4  ? in.PickValueInArray(kVariantTypes)
                                                : "b";
      sd_bus_message_open_container(m, *type, contents.c_str());
      for (int n = *type == 'v' ? 1 : in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        if (contents[0] == '{') {
          sd_bus_message_open_container(m, 'e', contents.substr(1, contents.size() - 2).c_str());
          append(in, m, contents.substr(1, contents.size() - 2), depth + 1);
          sd_bus_message_close_container(m);
        } else {
          append(in, m, contents, depth + 1);
        }
      }
      sd_bus_message_close_container(m);
    } else if (*type == 's') {
      // Written into the message unchecked, as a peer could send it.
      const std::string text =
          in.ConsumeBool() ? in.PickValueInArray(kTexts) : in.ConsumeRandomLengthString(40);
      char* space = nullptr;
      if (sd_bus_message_append_string_space(m, text.size(), &space) >= 0)
        std::memcpy(space, text.data(), text.size());
    } else if (*type == 'o') {
      sd_bus_message_append_basic(m, 'o', in.PickValueInArray(kPaths));
    } else {
      const std::uint32_t value = in.ConsumeIntegral<std::uint32_t>();
      sd_bus_message_append_basic(m, *type, &value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint64_t cookie = 0;
  FuzzedDataProvider in(data, size);
  const std::string shape = in.PickValueInArray(kShapes);
  sd_bus_message* created = nullptr;
  expect(sd_bus_message_new_signal(messageBus(), &created, "/org/bluez/hci0", "a.B", "C") >= 0,
         "no message");
  BusMessagePtr message(created);
  append(in, created, shape, 0);
  if (sd_bus_message_seal(created, ++cookie, 0) < 0)
    return 0;
  const bool readable = sd_bus_message_skip(created, shape.c_str()) >= 0;
  auto reads = [&](int r, const char* as) {
    expect((r >= 0) == (readable && shape == as), as);
    return r >= 0;
  };

  ObjectTree tree;
  Objects objects;
  if (reads(readManagedObjects(created, objects), kShapes[0]))
    tree.replace(objects);
  std::string path, interface;
  Interfaces added;
  std::vector<std::string> names;
  Properties properties;
  if (reads(readInterfacesAdded(created, path, added), kShapes[1]))
    tree.addInterfaces(path, added);
  if (reads(readInterfacesRemoved(created, path, names), kShapes[2]))
    tree.removeInterfaces(path, names);
  if (reads(readPropertiesChanged(created, interface, properties, names), kShapes[3]))
    tree.changeProperties("/org/bluez/hci0", interface, properties, names);
  if (reads(readAllProperties(created, properties), kShapes[4]))
    tree.addInterfaces("/org/bluez/hci0", {{in.PickValueInArray(kTexts), properties}});
  Introspection introspection;
  if (reads(readIntrospection(created, introspection), kShapes[5])) {
    for (const auto& child : introspection.children)
      expect(child.find_first_not_of(
                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
                     std::string::npos &&
                 !child.empty(),
             "child is not a path element");
  }
  const auto adapter = chooseAdapter(
      tree, in.ConsumeBool() ? std::optional<std::string_view>(in.PickValueInArray(kTexts))
                             : std::nullopt);
  expect(!adapter || tree.find(*adapter, kAdapterInterface) != nullptr, "chose no adapter");
  for (const auto& path : tree.descendantsWith("", kDeviceInterface)) {
    const Properties& device = *tree.find(path, kDeviceInterface);
    if (auto identifier = deviceIdentifier(device)) {
      std::string address = *property<std::string>(device, "Address");
      std::erase(address, ':');
      for (char& c : address)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      expect(identifier->toString() == "00000000-0000-8000-8000-" + address, "identifier");
    }
  }
  return 0;
}
