#include "ble/bluez/adapter_choice.h"

#include <cstdlib>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/device_identifier.h"

namespace norvel::ble::bluez {
namespace {

bool isNamed(std::string_view path, const Properties& adapter, std::string_view wanted) {
  if (path.substr(path.rfind('/') + 1) == wanted)
    return true;
  auto wantedAddress = parseDeviceAddress(wanted);
  auto address = stringProperty(adapter, "Address");
  return wantedAddress && address && parseDeviceAddress(*address) == wantedAddress;
}

}  // namespace

std::optional<std::string> chooseAdapter(const ObjectTree& objects,
                                         std::optional<std::string_view> wanted) {
  std::optional<std::string> first;
  for (const auto& path : objects.outermostWith(kAdapterInterface)) {
    const Properties& adapter = *objects.find(path, kAdapterInterface);
    if (wanted) {
      if (isNamed(path, adapter, *wanted))
        return path;
      continue;
    }
    if (boolProperty(adapter, "Powered").value_or(false))
      return path;
    if (!first)
      first = path;
  }
  return first;
}

std::optional<std::string> wantedAdapterFromEnvironment() {
  const char* wanted = std::getenv("NORVEL_ADAPTER");
  if (wanted == nullptr || *wanted == '\0')
    return std::nullopt;
  return std::string(wanted);
}

}  // namespace norvel::ble::bluez
