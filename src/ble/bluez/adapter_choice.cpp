#include "ble/bluez/adapter_choice.h"


#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/device_identifier.h"

namespace norvel::ble::bluez {
namespace {

bool isNamed(std::string_view path, const Properties& adapter, std::string_view wanted) {
  if (path.substr(path.rfind('/') + 1) == wanted)
    return true;
  auto wantedAddress = parseDeviceAddress(wanted);
  auto address = property<std::string>(adapter, "Address");
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
    if (property<bool>(adapter, "Powered").value_or(false))
      return path;
    if (!first)
      first = path;
  }
  return first;
}

}  // namespace norvel::ble::bluez
