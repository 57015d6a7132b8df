#include "ble/scripted/scripted_central_manager.h"

#include <algorithm>

namespace norvel::ble::scripted {

std::vector<Peripheral*> ScriptedCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  log.push_back("retrieve " + describe(identifiers));
  std::vector<Peripheral*> found;
  for (auto& peripheral : peripherals_) {
    if (peripheral.known && std::ranges::count(identifiers, peripheral.identifier()) > 0)
      found.push_back(&peripheral);
  }
  return found;
}

void ScriptedCentralManager::scanForPeripheralsWithServices(
    const std::optional<std::vector<Uuid>>& services, const ScanOptions& options) {
  log.push_back("scan " + (services ? describe(*services) : "any") +
                (options.allowDuplicates ? " with duplicates" : ""));
}

}  // namespace norvel::ble::scripted
