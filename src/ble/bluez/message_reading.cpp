#include "ble/bluez/message_reading.h"

#include <algorithm>
#include <cstdint>

namespace norvel::ble::bluez {
namespace {

bool startReading(sd_bus_message* message, const char* signature) {
  return sd_bus_message_rewind(message, 1) >= 0 &&
         sd_bus_message_has_signature(message, signature) > 0;
}

bool readText(sd_bus_message* message, char type, std::string& text) {
  const char* value = nullptr;
  if (sd_bus_message_read_basic(message, type, &value) < 0)
    return false;
  text = value;
  return true;
}

// Only the types of the properties this backend uses are kept: flags, texts and RSSI.
bool readVariant(sd_bus_message* message, PropertyValue& value) {
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, nullptr, &contents) <= 0)
    return false;
  const std::string_view type(contents);
  if (type != "b" && type != "s" && type != "o" && type != "n") {
    value = {};
    return sd_bus_message_skip(message, "v") >= 0;
  }
  if (sd_bus_message_enter_container(message, 'v', contents) < 0)
    return false;
  int r = 0;
  if (type == "b") {
    int flag = 0;
    r = sd_bus_message_read_basic(message, 'b', &flag);
    value = flag != 0;
  } else if (type == "n") {
    std::int16_t number = 0;
    r = sd_bus_message_read_basic(message, 'n', &number);
    value = std::int64_t{number};
  } else {
    std::string text;
    r = readText(message, type[0], text) ? 0 : -1;
    value = std::move(text);
  }
  return r >= 0 && sd_bus_message_exit_container(message) >= 0;
}

// Reads an array of dictionary entries, each through `entry`, which reads its key and value.
template <typename Entry>
bool readEntries(sd_bus_message* message, const char* entrySignature, Entry entry) {
  const std::string array = std::string("{") + entrySignature + "}";
  if (sd_bus_message_enter_container(message, 'a', array.c_str()) < 0)
    return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', entrySignature)) > 0) {
    if (!entry() || sd_bus_message_exit_container(message) < 0)
      return false;
  }
  return r == 0 && sd_bus_message_exit_container(message) >= 0;
}

// a{sv}
bool readProperties(sd_bus_message* message, Properties& properties) {
  return readEntries(message, "sv", [&] {
    std::string name;
    PropertyValue value;
    if (!readText(message, 's', name) || !readVariant(message, value))
      return false;
    properties.insert_or_assign(std::move(name), std::move(value));
    return true;
  });
}

// a{sa{sv}}
bool readInterfaces(sd_bus_message* message, Interfaces& interfaces) {
  return readEntries(message, "sa{sv}", [&] {
    std::string name;
    Properties properties;
    if (!readText(message, 's', name) || !readProperties(message, properties))
      return false;
    interfaces.insert_or_assign(std::move(name), std::move(properties));
    return true;
  });
}

// as
bool readTexts(sd_bus_message* message, std::vector<std::string>& texts) {
  if (sd_bus_message_enter_container(message, 'a', "s") < 0)
    return false;
  int r = 0;
  const char* text = nullptr;
  while ((r = sd_bus_message_read_basic(message, 's', &text)) > 0)
    texts.emplace_back(text);
  return r == 0 && sd_bus_message_exit_container(message) >= 0;
}

// The value of name="..." (or name='...') in an element's tag; empty when it has none.
std::string_view attribute(std::string_view tag, std::string_view name) {
  for (char quote : {'"', '\''}) {
    const std::string needle = " " + std::string(name) + "=" + quote;
    auto start = tag.find(needle);
    if (start == std::string_view::npos)
      continue;
    start += needle.size();
    auto end = tag.find(quote, start);
    return end == std::string_view::npos ? std::string_view{} : tag.substr(start, end - start);
  }
  return {};
}

bool isPathElement(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

}  // namespace

std::optional<Objects> readManagedObjects(sd_bus_message* message) {
  Objects objects;
  if (!startReading(message, "a{oa{sa{sv}}}") || !readEntries(message, "oa{sa{sv}}", [&] {
        std::string path;
        Interfaces interfaces;
        if (!readText(message, 'o', path) || !readInterfaces(message, interfaces))
          return false;
        objects.insert_or_assign(std::move(path), std::move(interfaces));
        return true;
      })) {
    return std::nullopt;
  }
  return objects;
}

std::optional<std::pair<std::string, Interfaces>> readInterfacesAdded(sd_bus_message* message) {
  std::pair<std::string, Interfaces> added;
  if (!startReading(message, "oa{sa{sv}}") || !readText(message, 'o', added.first) ||
      !readInterfaces(message, added.second)) {
    return std::nullopt;
  }
  return added;
}

std::optional<std::pair<std::string, std::vector<std::string>>> readInterfacesRemoved(
    sd_bus_message* message) {
  std::pair<std::string, std::vector<std::string>> removed;
  if (!startReading(message, "oas") || !readText(message, 'o', removed.first) ||
      !readTexts(message, removed.second)) {
    return std::nullopt;
  }
  return removed;
}

std::optional<PropertiesChanged> readPropertiesChanged(sd_bus_message* message) {
  PropertiesChanged changed;
  if (!startReading(message, "sa{sv}as") || !readText(message, 's', changed.interface) ||
      !readProperties(message, changed.changed) || !readTexts(message, changed.invalidated)) {
    return std::nullopt;
  }
  return changed;
}

std::optional<Properties> readAllProperties(sd_bus_message* message) {
  Properties properties;
  if (!startReading(message, "a{sv}") || !readProperties(message, properties))
    return std::nullopt;
  return properties;
}

std::optional<Introspection> readIntrospection(sd_bus_message* message) {
  std::string xml;
  if (!startReading(message, "s") || !readText(message, 's', xml))
    return std::nullopt;
  return parseIntrospection(xml);
}

Introspection parseIntrospection(std::string_view xml) {
  Introspection introspection;
  // The first node element is the object itself; the nodes after it are its children.
  bool inObject = false;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    if (xml.substr(at).starts_with("<!--")) {
      at = xml.find("-->", at);
      if (at == std::string_view::npos)
        break;
      continue;
    }
    std::string_view tag = xml.substr(at + 1, xml.find('>', at) - at - 1);
    if (tag.starts_with("node") && (tag.size() == 4 || tag[4] == ' ' || tag[4] == '/')) {
      auto name = attribute(tag, "name");
      if (inObject && !name.empty() && isPathElement(name))
        introspection.children.emplace_back(name);
      inObject = true;
    } else if (tag.starts_with("interface ")) {
      if (auto name = attribute(tag, "name"); !name.empty())
        introspection.interfaces.emplace_back(name);
    }
  }
  return introspection;
}

}  // namespace norvel::ble::bluez
