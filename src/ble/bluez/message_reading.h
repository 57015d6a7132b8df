#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/object_tree.h"

namespace norvel::ble::bluez {

// Readers for the messages this backend receives. Each reads from the start of the message
// and gives nothing when the message's signature is not the expected one or sd-bus refuses
// its content; a property of a type the tree does not keep is kept as std::monostate.

// GetManagedObjects reply: a{oa{sa{sv}}}.
std::optional<Objects> readManagedObjects(sd_bus_message* message);

// InterfacesAdded: oa{sa{sv}}.
std::optional<std::pair<std::string, Interfaces>> readInterfacesAdded(sd_bus_message* message);

// InterfacesRemoved: oas.
std::optional<std::pair<std::string, std::vector<std::string>>> readInterfacesRemoved(
    sd_bus_message* message);

struct PropertiesChanged {
  std::string interface;
  Properties changed;
  std::vector<std::string> invalidated;
};
// sa{sv}as
std::optional<PropertiesChanged> readPropertiesChanged(sd_bus_message* message);

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

}  // namespace norvel::ble::bluez
