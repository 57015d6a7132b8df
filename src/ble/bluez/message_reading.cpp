#include "ble/bluez/message_reading.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace norvel::ble::bluez {
namespace {

int startReading(sd_bus_message* message, const char* signature) {
  int r = sd_bus_message_rewind(message, 1);
  if (r >= 0 && sd_bus_message_has_signature(message, signature) <= 0)
    r = -EBADMSG;
  return r;
}

int readText(sd_bus_message* message, char type, std::string& text) {
  const char* value = nullptr;
  int r = sd_bus_message_read_basic(message, type, &value);
  if (r > 0)
    text = value;
  return r;
}

// Only the types of the properties this backend uses are kept: flags, texts and RSSI.
int readVariant(sd_bus_message* message, PropertyValue& value) {
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, nullptr, &contents);
  if (r < 0)
    return r;
  const std::string_view type(contents);
  if (type != "b" && type != "s" && type != "o" && type != "n") {
    value = {};
    return sd_bus_message_skip(message, "v");
  }
  r = sd_bus_message_enter_container(message, 'v', contents);
  if (r >= 0 && type == "b") {
    int flag = 0;
    r = sd_bus_message_read_basic(message, 'b', &flag);
    value = flag != 0;
  } else if (r >= 0 && type == "n") {
    std::int16_t number = 0;
    r = sd_bus_message_read_basic(message, 'n', &number);
    value = std::int64_t{number};
  } else if (r >= 0) {
    std::string text;
    r = readText(message, type[0], text);
    value = std::move(text);
  }
  return r < 0 ? r : sd_bus_message_exit_container(message);
}

// An array of dictionary entries, each read by `entry`.
template <typename Entry>
int readEntries(sd_bus_message* message, const std::string& entrySignature, Entry entry) {
  int r = sd_bus_message_enter_container(message, 'a', ("{" + entrySignature + "}").c_str());
  while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', entrySignature.c_str())) > 0) {
    r = entry();
    if (r >= 0)
      r = sd_bus_message_exit_container(message);
  }
  return r < 0 ? r : sd_bus_message_exit_container(message);
}

// a{sv}
int readProperties(sd_bus_message* message, Properties& properties) {
  return readEntries(message, "sv", [&] {
    std::string name;
    int r = readText(message, 's', name);
    if (r >= 0)
      r = readVariant(message, properties[name]);
    return r;
  });
}

// a{sa{sv}}
int readInterfaces(sd_bus_message* message, Interfaces& interfaces) {
  return readEntries(message, "sa{sv}", [&] {
    std::string name;
    int r = readText(message, 's', name);
    return r < 0 ? r : readProperties(message, interfaces[name]);
  });
}

// as
int readTexts(sd_bus_message* message, std::vector<std::string>& texts) {
  int r = sd_bus_message_enter_container(message, 'a', "s");
  const char* text = nullptr;
  while (r >= 0 && (r = sd_bus_message_read_basic(message, 's', &text)) > 0)
    texts.emplace_back(text);
  return r < 0 ? r : sd_bus_message_exit_container(message);
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
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

}  // namespace

int readManagedObjects(sd_bus_message* message, Objects& objects) {
  int r = startReading(message, "a{oa{sa{sv}}}");
  return r < 0 ? r : readEntries(message, "oa{sa{sv}}", [&] {
    std::string path;
    int r = readText(message, 'o', path);
    return r < 0 ? r : readInterfaces(message, objects[path]);
  });
}

int readInterfacesAdded(sd_bus_message* message, std::string& path, Interfaces& interfaces) {
  int r = startReading(message, "oa{sa{sv}}");
  if (r >= 0)
    r = readText(message, 'o', path);
  return r < 0 ? r : readInterfaces(message, interfaces);
}

int readInterfacesRemoved(sd_bus_message* message, std::string& path,
                          std::vector<std::string>& interfaces) {
  int r = startReading(message, "oas");
  if (r >= 0)
    r = readText(message, 'o', path);
  return r < 0 ? r : readTexts(message, interfaces);
}

int readPropertiesChanged(sd_bus_message* message, std::string& interface, Properties& changed,
                          std::vector<std::string>& invalidated) {
  int r = startReading(message, "sa{sv}as");
  if (r >= 0)
    r = readText(message, 's', interface);
  if (r >= 0)
    r = readProperties(message, changed);
  return r < 0 ? r : readTexts(message, invalidated);
}

int readPropertyValue(sd_bus_message* message, PropertyValue& value) {
  int r = startReading(message, "v");
  return r < 0 ? r : readVariant(message, value);
}

int readAllProperties(sd_bus_message* message, Properties& properties) {
  int r = startReading(message, "a{sv}");
  return r < 0 ? r : readProperties(message, properties);
}

int readIntrospection(sd_bus_message* message, Introspection& introspection) {
  std::string xml;
  int r = startReading(message, "s");
  if (r >= 0)
    r = readText(message, 's', xml);
  if (r >= 0)
    introspection = parseIntrospection(xml);
  return r;
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
      if (auto name = attribute(tag, "name"); inObject && isPathElement(name))
        introspection.children.emplace_back(name);
      inObject = true;
    } else if (auto name = attribute(tag, "name"); tag.starts_with("interface ") && !name.empty()) {
      introspection.interfaces.emplace_back(name);
    }
  }
  return introspection;
}

}  // namespace norvel::ble::bluez
