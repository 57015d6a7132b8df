#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>

#include "ble/bluez/message_reading.h"

namespace norvel::fuzz {

struct IntrospectionXml {
  std::string xml;
  // What the XML says, unless it was damaged.
  std::optional<ble::bluez::Introspection> says;
};

// An object's introspection as D-Bus services write it (interfaces with their members, then
// child nodes, names from BlueZ's and fuzzer-chosen ones), sometimes damaged: bytes cut out
// and raw bytes put in.
IntrospectionXml introspectionXml(FuzzedDataProvider& input);

}  // namespace norvel::fuzz
