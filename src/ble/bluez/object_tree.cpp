#include "ble/bluez/object_tree.h"

#include <utility>

namespace norvel::ble::bluez {

void ObjectTree::addInterfaces(const std::string& path, Interfaces interfaces) {
  Interfaces& object = objects_[path];
  for (auto& [name, properties] : interfaces)
    object[name] = std::move(properties);
}

void ObjectTree::removeInterfaces(const std::string& path,
                                  const std::vector<std::string>& interfaces) {
  auto object = objects_.find(path);
  if (object == objects_.end())
    return;
  for (const auto& name : interfaces)
    object->second.erase(name);
  if (object->second.empty())
    objects_.erase(object);
}

bool ObjectTree::changeProperties(const std::string& path, const std::string& interface,
                                  const Properties& changed,
                                  const std::vector<std::string>& invalidated) {
  auto object = objects_.find(path);
  if (object == objects_.end())
    return false;
  auto properties = object->second.find(interface);
  if (properties == object->second.end())
    return false;
  for (const auto& [name, value] : changed)
    properties->second[name] = value;
  for (const auto& name : invalidated)
    properties->second.erase(name);
  return true;
}

const Properties* ObjectTree::find(std::string_view path, std::string_view interface) const {
  auto object = objects_.find(path);
  if (object == objects_.end())
    return nullptr;
  auto properties = object->second.find(interface);
  if (properties == object->second.end())
    return nullptr;
  return &properties->second;
}

std::vector<std::string> ObjectTree::outermostWith(std::string_view interface) const {
  std::vector<std::string> paths;
  for (auto object = objects_.begin(); object != objects_.end();) {
    if (!object->second.contains(interface)) {
      ++object;
      continue;
    }
    paths.push_back(object->first);
    if (object->first == "/")
      break;
    // Path elements use only [A-Za-z0-9_], all after '/', so the objects from the path up to
    // the path followed by '0' are the path and what lies below it.
    object = objects_.lower_bound(object->first + '0');
  }
  return paths;
}

std::vector<std::string> ObjectTree::descendantsWith(std::string_view parent,
                                                     std::string_view interface) const {
  std::string prefix(parent);
  prefix.push_back('/');
  std::vector<std::string> paths;
  for (auto object = objects_.lower_bound(prefix);
       object != objects_.end() && object->first.starts_with(prefix); ++object) {
    if (object->second.contains(interface))
      paths.push_back(object->first);
  }
  return paths;
}

}  // namespace norvel::ble::bluez
