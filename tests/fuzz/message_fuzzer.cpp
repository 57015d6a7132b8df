// Messages shaped as bluetoothd's replies and signals, with fuzzer-chosen values (strings of
// any bytes, even ones sd-bus refuses to read), go to every reader: each must read exactly the
// well-formed messages of its signature. What was read goes into an object tree, from which
// the adapter is chosen.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/message_reading.h"

namespace {

using namespace norvel::ble::bluez;

constexpr const char* kShapes[] = {"a{oa{sa{sv}}}", "oa{sa{sv}}", "oas", "sa{sv}as", "a{sv}", "s"};
constexpr const char* kPaths[] = {"/", "/org/bluez/hci0", "/org/bluez/hci1",
                                  "/org/bluez/hci0/dev_C0_FF_EE_12_34_56"};
constexpr const char* kXml =
    "<node><!-- <node name='x'/> --><node name='a-b'/><node name=\"c\"/></node>";
constexpr const char* kTexts[] = {
    kAdapterInterface, kDeviceInterface, "Address", "Powered", "hci1", "C0:fF:EE:12:34:56", kXml};
constexpr const char* kPathCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
constexpr const char* kVariantTypes[] = {"b", "s", "o", "n", "u", "as", "a{sv}", "v"};

void expect(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "message_fuzzer: %s\n", what);
    std::abort();
  }
}

// A bus on one end of a socket pair, never connected, creates the messages; sealed, they read
// as if received.
sd_bus* messageBus() {
  static sd_bus* bus = nullptr;
  int fds[2];
  if (bus == nullptr)
    expect(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) >= 0 && sd_bus_new(&bus) >= 0 &&
               sd_bus_set_fd(bus, fds[0], fds[0]) >= 0 && sd_bus_start(bus) >= 0,
           "no bus");
  return bus;
}

const char* skipType(const char* type) {
  if (*type == 'a')
    return skipType(type + 1);
  return *type == '{' ? skipType(skipType(type + 1)) + 1 : type + 1;
}

void append(FuzzedDataProvider& in, sd_bus_message* m, const std::string& types, int depth) {
  for (const char* type = types.c_str(); *type != '\0'; type = skipType(type)) {
    std::string inner(type + 1, skipType(type));
    if (*type == 'v')
      inner = depth < 4 ? in.PickValueInArray(kVariantTypes) : "b";
    if (*type == 'a' || *type == 'v' || *type == '{') {
      const bool entries = *type == '{';
      sd_bus_message_open_container(m, entries ? 'e' : *type,
                                    inner.substr(0, inner.size() - entries).c_str());
      for (int n = *type == 'a' ? in.ConsumeIntegralInRange(0, 3) : 1; n > 0; --n)
        append(in, m, inner.substr(0, inner.size() - entries), depth + 1);
      sd_bus_message_close_container(m);
    } else if (*type == 's') {
      // Written into the message unchecked, as a peer could send it.
      const std::string text =
          in.ConsumeBool() ? in.PickValueInArray(kTexts) : in.ConsumeRandomLengthString(40);
      char* space = nullptr;
      if (sd_bus_message_append_string_space(m, text.size(), &space) >= 0)
        std::memcpy(space, text.data(), text.size());
    } else {
      const std::uint32_t number = in.ConsumeIntegral<std::uint32_t>();
      sd_bus_message_append_basic(
          m, *type, *type == 'o' ? in.PickValueInArray(kPaths) : static_cast<const void*>(&number));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint64_t cookie = 0;
  FuzzedDataProvider in(data, size);
  const std::string shape = in.PickValueInArray(kShapes);
  sd_bus_message* m = nullptr;
  expect(sd_bus_message_new_signal(messageBus(), &m, "/org/bluez/hci0", "a.B", "C") >= 0, "new");
  const BusMessagePtr message(m);
  append(in, m, shape, 0);
  if (sd_bus_message_seal(m, ++cookie, 0) < 0)
    return 0;
  const bool readable = sd_bus_message_skip(m, shape.c_str()) >= 0;

  Objects objects;
  std::string path, interface;
  Interfaces added;
  std::vector<std::string> names;
  Properties properties;
  Introspection introspection;
  const int read[] = {
      readManagedObjects(m, objects),        readInterfacesAdded(m, path, added),
      readInterfacesRemoved(m, path, names), readPropertiesChanged(m, interface, properties, names),
      readAllProperties(m, properties),      readIntrospection(m, introspection)};
  for (std::size_t i = 0; i < std::size(kShapes); ++i)
    expect((read[i] >= 0) == (readable && shape == kShapes[i]), kShapes[i]);
  for (const auto& child : introspection.children)
    expect(!child.empty() && child.find_first_not_of(kPathCharacters) == std::string::npos,
           "child");

  ObjectTree tree;
  tree.replace(objects);
  tree.addInterfaces(path.empty() ? "/" : path, added);
  tree.addInterfaces("/org/bluez/hci0", {{in.PickValueInArray(kTexts), properties}});
  tree.removeInterfaces(path, names);
  const auto wanted =
      in.ConsumeBool() ? std::optional<std::string>(in.PickValueInArray(kTexts)) : std::nullopt;
  const auto adapter = chooseAdapter(tree, wanted);
  expect(!adapter || tree.find(*adapter, kAdapterInterface) != nullptr, "chose no adapter");
  return 0;
}
