#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/object_tree.h"
#include "ble/gatt.h"

namespace norvel::ble::bluez {

// Readers for the messages this backend receives. Each reads from the start of the message
// and gives nothing when the message's signature is not the expected one; a property whose
// value has a type the tree does not keep is kept as std::monostate.

// GetManagedObjects reply: a{oa{sa{sv}}}.
std::optional<Objects> readManagedObjects(sd_bus_message* message);

struct InterfacesAdded {
  std::string path;
  Interfaces interfaces;
};
// oa{sa{sv}}
std::optional<InterfacesAdded> readInterfacesAdded(sd_bus_message* message);

struct InterfacesRemoved {
  std::string path;
  std::vector<std::string> interfaces;
};
// oas
std::optional<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* message);

struct PropertiesChanged {
  std::string interface;
  Properties changed;
  std::vector<std::string> invalidated;
};
// sa{sv}as
std::optional<PropertiesChanged> readPropertiesChanged(sd_bus_message* message);

struct NameOwnerChanged {
  std::string name;
  std::string oldOwner;
  std::string newOwner;
};
// sss
std::optional<NameOwnerChanged> readNameOwnerChanged(sd_bus_message* message);

// Properties.GetAll reply: a{sv}.
std::optional<Properties> readAllProperties(sd_bus_message* message);

// What an Introspect reply (s: XML) says of one object.
struct Introspection {
  // The names of the nodes right below it, each a valid object path element.
  std::vector<std::string> children;
  std::vector<std::string> interfaces;
};
std::optional<Introspection> readIntrospection(sd_bus_message* message);
// The same, from the XML text.
Introspection parseIntrospection(std::string_view xml);

// ReadValue reply: ay.
std::optional<Bytes> readByteArray(sd_bus_message* message);

}  // namespace norvel::ble::bluez
