#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>

#include "ble/bluez/message_reading.h"

namespace norvel::fuzz {

struct IntrospectionXml {
  std::string xml;
  // What the XML says, when it was written as an object's well-formed introspection.
  std::optional<ble::bluez::Introspection> says;
};

// Either an object's introspection as D-Bus services write it (interfaces with their
// members, then child nodes, names from BlueZ's and fuzzer-chosen ones), or a soup of
// introspection pieces and raw bytes.
IntrospectionXml introspectionXml(FuzzedDataProvider& input);

}  // namespace norvel::fuzz
