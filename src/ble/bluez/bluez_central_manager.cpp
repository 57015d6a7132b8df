#include "ble/bluez/bluez_central_manager.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/device_identifier.h"

namespace norvel::ble::bluez {
namespace {

// What the central stack reports when a sighting carries no signal strength.
constexpr int kRssiUnavailable = 127;

// NORVEL_ADAPTER names the adapter to use; unset or empty, any will do.
std::optional<std::string> wantedAdapter() {
  const char* wanted = std::getenv("NORVEL_ADAPTER");
  return wanted != nullptr && *wanted != '\0' ? std::optional<std::string>(wanted) : std::nullopt;
}

bool isBelow(std::string_view path, std::string_view parent) {
  return path.size() > parent.size() + 1 && path.starts_with(parent) && path[parent.size()] == '/';
}

}  // namespace

BluezCentralManager::BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate)
    : queue_(queue),
      delegate_(delegate),
      connection_(queue.event(), *this),
      wantedAdapter_(wantedAdapter()) {}

bool BluezCentralManager::isPowered(const std::string& adapter) const {
  const Properties* properties = connection_.objects().find(adapter, kAdapterInterface);
  return properties != nullptr && property<bool>(*properties, "Powered").value_or(false);
}

ManagerState BluezCentralManager::currentState() const {
  if (connection_.accessDenied())
    return ManagerState::unauthorized;
  switch (connection_.presence()) {
    case BluezConnection::Presence::unknown:
      return ManagerState::unknown;
    case BluezConnection::Presence::absent:
      return ManagerState::unsupported;
    case BluezConnection::Presence::present:
      break;
  }
  if (!adapter_)
    return ManagerState::unsupported;
  return isPowered(*adapter_) ? ManagerState::poweredOn : ManagerState::poweredOff;
}

// A powered adapter stays chosen while it is powered: another one powering on later must not
// move a scan or a connection under way.
void BluezCentralManager::updateAdapter() {
  if (!adapter_ || !isPowered(*adapter_))
    adapter_ = chooseAdapter(connection_.objects(), wantedAdapter_);
}

// bluetoothd announces a device it already knows only through PropertiesChanged, often
// with nothing but RSSI; a device that merely exists in the tree may be far away.
void BluezCentralManager::objectsChanged(std::string_view sighted) {
  const bool sighting = scanning_ && !sighted.empty();
  updateAdapter();
  if (ManagerState state = currentState(); state != state_) {
    state_ = state;
    delegate_.centralManagerDidUpdateState(*this);
  }
  // Nothing is reported after stopScan, even from a change that came before it.
  if (sighting && scanning_ && adapter_ && isBelow(sighted, *adapter_)) {
    if (BluezPeripheral* peripheral = peripheralAt(std::string(sighted))) {
      const Properties& device = *connection_.objects().find(sighted, kDeviceInterface);
      auto rssi = property<std::int64_t>(device, "RSSI").value_or(kRssiUnavailable);
      delegate_.centralManagerDidDiscoverPeripheral(*this, *peripheral, {}, static_cast<int>(rssi));
    }
  }
  for (const auto& [path, peripheral] : peripherals_)
    peripheral->objectsChanged();
}

BluezPeripheral* BluezCentralManager::peripheralAt(const std::string& path) {
  if (auto known = peripherals_.find(path); known != peripherals_.end())
    return known->second.get();
  const Properties* device = connection_.objects().find(path, kDeviceInterface);
  auto identifier = device != nullptr ? deviceIdentifier(*device) : std::nullopt;
  if (!identifier)
    return nullptr;
  auto peripheral = std::make_unique<BluezPeripheral>(connection_, queue_, path, *identifier);
  return peripherals_.emplace(path, std::move(peripheral)).first->second.get();
}

std::vector<Peripheral*> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  std::vector<Peripheral*> found;
  if (!adapter_)
    return found;
  const ObjectTree& objects = connection_.objects();
  for (const auto& path : objects.descendantsWith(*adapter_, kDeviceInterface)) {
    auto identifier = deviceIdentifier(*objects.find(path, kDeviceInterface));
    if (identifier &&
        std::find(identifiers.begin(), identifiers.end(), *identifier) != identifiers.end()) {
      found.push_back(peripheralAt(path));
    }
  }
  return found;
}

void BluezCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>&,
                                                         const ScanOptions& options) {
  scanning_ = true;
  if (adapter_) {
    callBluez(connection_.bus(), discoveryCall_, *adapter_, kAdapterInterface,
              "SetDiscoveryFilter", &BluezCentralManager::setDiscoveryFilterReply, this, "a{sv}",
              2, "Transport", "s", "le", "DuplicateData", "b",
              static_cast<int>(options.allowDuplicates));
  }
}

// Any failure but a refusal leaves bluetoothd's default filter, which still finds LE devices.
int BluezCentralManager::setDiscoveryFilterReply(sd_bus_message* reply, void* userdata,
                                                 sd_bus_error*) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->discoveryCall_.reset();
  if (self->connection_.trusts(reply) && !self->connection_.refusedAccess(reply) &&
      self->adapter_) {
    callBluez(self->connection_.bus(), self->discoveryCall_, *self->adapter_, kAdapterInterface,
              "StartDiscovery", &BluezCentralManager::discoveryReply, self, "");
  }
  return 0;
}

// The interface has no scan-failure event: a scan that did not start reports nothing, and
// the run's deadline ends it.
int BluezCentralManager::discoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->discoveryCall_.reset();
  if (self->connection_.trusts(reply))
    self->connection_.refusedAccess(reply);
  return 0;
}

// Also forgets a scan request still pending, so that discovery is not started after this.
void BluezCentralManager::stopScan() {
  scanning_ = false;
  discoveryCall_.reset();
  if (adapter_) {
    callBluez(connection_.bus(), discoveryCall_, *adapter_, kAdapterInterface, "StopDiscovery",
              &BluezCentralManager::discoveryReply, this, "");
  }
}

void BluezCentralManager::connectPeripheral(Peripheral& peripheral) {
  // Every peripheral this manager hands out is one of its own.
  auto& device = static_cast<BluezPeripheral&>(peripheral);
  const Properties* properties = connection_.objects().find(device.path(), kDeviceInterface);
  const bool connected =
      properties != nullptr && property<bool>(*properties, "Connected").value_or(false);
  auto [request, added] =
      connectRequests_.try_emplace(device.path(), ConnectRequest{this, &device, connected, nullptr});
  int r = callBluez(connection_.bus(), request->second.slot, device.path(), kDeviceInterface,
                    "Connect", &BluezCentralManager::connectReply, &request->second, "");
  if (r < 0) {
    if (added)
      connectRequests_.erase(request);
    queue_.post([this, &device, r] { deliverConnectFailed(device, errnoError(r)); });
  }
}

// bluetoothd does not always signal Connected; its reply is the answer.
int BluezCentralManager::connectReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& request = *static_cast<ConnectRequest*>(userdata);
  request.slot.reset();
  BluezCentralManager& self = *request.manager;
  if (!self.connection_.trusts(reply) || self.connection_.refusedAccess(reply))
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply))
    self.deliverConnectFailed(*request.peripheral, toBleError(*error));
  else
    self.delegate_.centralManagerDidConnectPeripheral(self, *request.peripheral);
  return 0;
}

void BluezCentralManager::deliverConnectFailed(BluezPeripheral& peripheral, const Error& error) {
  delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, error);
}

void BluezCentralManager::closeConnections() {
  sd_bus* bus = connection_.bus();
  if (bus == nullptr || sd_bus_is_open(bus) <= 0)
    return;
  // Disconnect also cancels an attempt still pending, which the kernel would otherwise
  // complete as soon as the device advertises again.
  for (const auto& [path, request] : std::exchange(connectRequests_, {})) {
    if (!request.connectedBefore) {
      sd_bus_call_method_async(bus, nullptr, kBluezService, path.c_str(), kDeviceInterface,
                               "Disconnect", nullptr, nullptr, "");
    }
  }
  sd_bus_flush(bus);
}

}  // namespace norvel::ble::bluez
