#include "ble/bluez/message_reading.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace norvel::ble::bluez {
namespace {

bool startReading(sd_bus_message* message, const char* signature) {
  return message != nullptr && sd_bus_message_rewind(message, 1) >= 0 &&
         sd_bus_message_has_signature(message, signature) > 0;
}

bool readText(sd_bus_message* message, char type, std::string& text) {
  const char* value = nullptr;
  if (sd_bus_message_read_basic(message, type, &value) < 0)
    return false;
  text = value;
  return true;
}

template <typename Integer>
std::optional<PropertyValue> readInteger(sd_bus_message* message, char type) {
  Integer value{};
  if (sd_bus_message_read_basic(message, type, &value) < 0)
    return std::nullopt;
  if constexpr (std::is_same_v<Integer, std::uint64_t>) {
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return PropertyValue{};
    }
  }
  return PropertyValue{static_cast<std::int64_t>(value)};
}

std::optional<PropertyValue> readBasic(sd_bus_message* message, char type) {
  switch (type) {
    case 'b': {
      int value = 0;
      if (sd_bus_message_read_basic(message, type, &value) < 0)
        return std::nullopt;
      return PropertyValue{value != 0};
    }
    case 's':
    case 'o':
    case 'g': {
      std::string text;
      if (!readText(message, type, text))
        return std::nullopt;
      return PropertyValue{std::move(text)};
    }
    case 'y':
      return readInteger<std::uint8_t>(message, type);
    case 'n':
      return readInteger<std::int16_t>(message, type);
    case 'q':
      return readInteger<std::uint16_t>(message, type);
    case 'i':
      return readInteger<std::int32_t>(message, type);
    case 'u':
      return readInteger<std::uint32_t>(message, type);
    case 'x':
      return readInteger<std::int64_t>(message, type);
    case 't':
      return readInteger<std::uint64_t>(message, type);
    default:
      return std::nullopt;
  }
}

bool isKeptType(const std::string& signature) {
  return signature.size() == 1 &&
         std::string_view("bsogynqiuxt").find(signature[0]) != std::string_view::npos;
}

// A variant whose content is not a kept type is skipped and kept as std::monostate.
std::optional<PropertyValue> readVariant(sd_bus_message* message) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0 || type != 'v')
    return std::nullopt;
  std::string signature = contents;
  if (!isKeptType(signature)) {
    if (sd_bus_message_skip(message, "v") < 0)
      return std::nullopt;
    return PropertyValue{};
  }
  if (sd_bus_message_enter_container(message, 'v', signature.c_str()) < 0)
    return std::nullopt;
  auto value = readBasic(message, signature[0]);
  if (!value || sd_bus_message_exit_container(message) < 0)
    return std::nullopt;
  return value;
}

// a{sv}
bool readProperties(sd_bus_message* message, Properties& properties) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0)
    return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    std::string name;
    if (!readText(message, 's', name))
      return false;
    auto value = readVariant(message);
    if (!value)
      return false;
    properties.insert_or_assign(std::move(name), std::move(*value));
    if (sd_bus_message_exit_container(message) < 0)
      return false;
  }
  return r == 0 && sd_bus_message_exit_container(message) >= 0;
}

// a{sa{sv}}
bool readInterfaces(sd_bus_message* message, Interfaces& interfaces) {
  if (sd_bus_message_enter_container(message, 'a', "{sa{sv}}") < 0)
    return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', "sa{sv}")) > 0) {
    std::string name;
    Properties properties;
    if (!readText(message, 's', name) || !readProperties(message, properties))
      return false;
    interfaces.insert_or_assign(std::move(name), std::move(properties));
    if (sd_bus_message_exit_container(message) < 0)
      return false;
  }
  return r == 0 && sd_bus_message_exit_container(message) >= 0;
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
  if (!startReading(message, "a{oa{sa{sv}}}"))
    return std::nullopt;
  if (sd_bus_message_enter_container(message, 'a', "{oa{sa{sv}}}") < 0)
    return std::nullopt;
  Objects objects;
  int r = 0;
  while ((r = sd_bus_message_enter_container(message, 'e', "oa{sa{sv}}")) > 0) {
    std::string path;
    Interfaces interfaces;
    if (!readText(message, 'o', path) || !readInterfaces(message, interfaces))
      return std::nullopt;
    objects.insert_or_assign(std::move(path), std::move(interfaces));
    if (sd_bus_message_exit_container(message) < 0)
      return std::nullopt;
  }
  if (r < 0 || sd_bus_message_exit_container(message) < 0)
    return std::nullopt;
  return objects;
}

std::optional<InterfacesAdded> readInterfacesAdded(sd_bus_message* message) {
  if (!startReading(message, "oa{sa{sv}}"))
    return std::nullopt;
  InterfacesAdded added;
  if (!readText(message, 'o', added.path) || !readInterfaces(message, added.interfaces)) {
    return std::nullopt;
  }
  return added;
}

std::optional<InterfacesRemoved> readInterfacesRemoved(sd_bus_message* message) {
  if (!startReading(message, "oas"))
    return std::nullopt;
  InterfacesRemoved removed;
  if (!readText(message, 'o', removed.path) || !readTexts(message, removed.interfaces)) {
    return std::nullopt;
  }
  return removed;
}

std::optional<PropertiesChanged> readPropertiesChanged(sd_bus_message* message) {
  if (!startReading(message, "sa{sv}as"))
    return std::nullopt;
  PropertiesChanged changed;
  if (!readText(message, 's', changed.interface) || !readProperties(message, changed.changed) ||
      !readTexts(message, changed.invalidated)) {
    return std::nullopt;
  }
  return changed;
}

std::optional<NameOwnerChanged> readNameOwnerChanged(sd_bus_message* message) {
  if (!startReading(message, "sss"))
    return std::nullopt;
  NameOwnerChanged changed;
  if (!readText(message, 's', changed.name) || !readText(message, 's', changed.oldOwner) ||
      !readText(message, 's', changed.newOwner)) {
    return std::nullopt;
  }
  return changed;
}

std::optional<Properties> readAllProperties(sd_bus_message* message) {
  if (!startReading(message, "a{sv}"))
    return std::nullopt;
  Properties properties;
  if (!readProperties(message, properties))
    return std::nullopt;
  return properties;
}

std::optional<Introspection> readIntrospection(sd_bus_message* message) {
  if (!startReading(message, "s"))
    return std::nullopt;
  std::string xml;
  if (!readText(message, 's', xml))
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
      if (!inObject) {
        inObject = true;
        continue;
      }
      auto name = attribute(tag, "name");
      if (!name.empty() && isPathElement(name))
        introspection.children.emplace_back(name);
    } else if (tag.starts_with("interface ")) {
      auto name = attribute(tag, "name");
      if (!name.empty())
        introspection.interfaces.emplace_back(name);
    }
  }
  return introspection;
}

std::optional<Bytes> readByteArray(sd_bus_message* message) {
  if (!startReading(message, "ay"))
    return std::nullopt;
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_read_array(message, 'y', &data, &size) < 0)
    return std::nullopt;
  if (size == 0)
    return Bytes{};
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return Bytes(bytes, bytes + size);
}

}  // namespace norvel::ble::bluez
