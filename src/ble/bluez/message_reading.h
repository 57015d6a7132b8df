#pragma once

#include <systemd/sd-bus.h>

#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/object_tree.h"

namespace norvel::ble::bluez {

// Readers for the messages this backend receives, from the start of the message. Each
// returns a negative errno when the signature is not the expected one or sd-bus refuses the
// content. A property of a type the tree does not keep is kept as std::monostate.

// GetManagedObjects reply: a{oa{sa{sv}}}.
int readManagedObjects(sd_bus_message* message, Objects& objects);
// InterfacesAdded: oa{sa{sv}}.
int readInterfacesAdded(sd_bus_message* message, std::string& path, Interfaces& interfaces);
// InterfacesRemoved: oas.
int readInterfacesRemoved(sd_bus_message* message, std::string& path,
                          std::vector<std::string>& interfaces);
// PropertiesChanged: sa{sv}as.
int readPropertiesChanged(sd_bus_message* message, std::string& interface, Properties& changed,
                          std::vector<std::string>& invalidated);
// Properties.Get reply: v.
int readPropertyValue(sd_bus_message* message, PropertyValue& value);
// Properties.GetAll reply: a{sv}.
int readAllProperties(sd_bus_message* message, Properties& properties);

// What an Introspect reply says of one object: the names of the nodes right below it (each a
// valid object path element) and its interfaces.
struct Introspection {
  std::vector<std::string> children;
  std::vector<std::string> interfaces;
};
// Introspect reply: s, the XML.
int readIntrospection(sd_bus_message* message, Introspection& introspection);
Introspection parseIntrospection(std::string_view xml);

}  // namespace norvel::ble::bluez
