#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace norvel::ble::bluez {

// A property value of a type this backend reads; std::monostate stands for any other type,
// which reads as absent.
using PropertyValue = std::variant<std::monostate, bool, std::int64_t, std::string>;
using Properties = std::map<std::string, PropertyValue, std::less<>>;
// Interface name to its properties.
using Interfaces = std::map<std::string, Properties, std::less<>>;
// Object path to its interfaces; the map's order is object-path order.
using Objects = std::map<std::string, Interfaces, std::less<>>;

// The property's value, absent when it is missing or of another type.
template <typename Value>
std::optional<Value> property(const Properties& properties, std::string_view name) {
  auto found = properties.find(name);
  const Value* value = found != properties.end() ? std::get_if<Value>(&found->second) : nullptr;
  return value != nullptr ? std::optional<Value>(*value) : std::nullopt;
}

// bluetoothd's objects as its object manager reports them, kept current from its signals.
class ObjectTree {
 public:
  void replace(Objects objects) { objects_ = std::move(objects); }
  void clear() { objects_.clear(); }

  // Adds the interfaces to the object, replacing any it already has under the same name.
  void addInterfaces(const std::string& path, Interfaces interfaces);
  void removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces);
  // Returns false, changing nothing, when the object lacks the interface.
  bool changeProperties(const std::string& path, const std::string& interface,
                        const Properties& changed, const std::vector<std::string>& invalidated);

  // Null when the object lacks the interface.
  const Properties* find(std::string_view path, std::string_view interface) const;
  // The objects with the interface, in object-path order, not looking below one that has it:
  // an adapter holds thousands of devices, never another adapter.
  std::vector<std::string> outermostWith(std::string_view interface) const;
  // The objects below `parent`, at any depth, that have the interface, in object-path order.
  std::vector<std::string> descendantsWith(std::string_view parent,
                                           std::string_view interface) const;

 private:
  Objects objects_;
};

}  // namespace norvel::ble::bluez
