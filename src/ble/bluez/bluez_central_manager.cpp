#include "ble/bluez/bluez_central_manager.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/async_call.h"
#include "ble/bluez/bluez_names.h"
#include "ble/bluez/bus_error.h"
#include "ble/bluez/device_identifier.h"

namespace norvel::ble::bluez {
namespace {

// bluetoothd may take about 40 s to give up on a peer that does not answer. With the bus
// default of 25 s the call would end in NoReply while bluetoothd goes on trying; the run's
// own deadline ends long before this.
constexpr std::chrono::microseconds kConnectTimeout = std::chrono::seconds(60);

// What the central stack reports when a sighting carries no signal strength.
constexpr int kRssiUnavailable = 127;

bool isBelow(const std::string& path, const std::string& parent) {
  return path.size() > parent.size() + 1 && path.starts_with(parent) && path[parent.size()] == '/';
}

}  // namespace

BluezCentralManager::BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate)
    : queue_(queue),
      delegate_(delegate),
      connection_(std::make_shared<BluezConnection>(queue.event())),
      wantedAdapter_(wantedAdapterFromEnvironment()) {
  connection_->setListener(this);
}

BluezCentralManager::~BluezCentralManager() {
  connection_->setListener(nullptr);
}

void BluezCentralManager::start() {
  connection_->start();
}

ManagerState BluezCentralManager::currentState() const {
  if (connection_->accessDenied())
    return ManagerState::unauthorized;
  switch (connection_->presence()) {
    case BluezConnection::Presence::unknown:
      return ManagerState::unknown;
    case BluezConnection::Presence::absent:
      return ManagerState::unsupported;
    case BluezConnection::Presence::present:
      break;
  }
  auto adapter = adapterPath();
  if (!adapter)
    return ManagerState::unsupported;
  const Properties* properties = connection_->objects().find(*adapter, kAdapterInterface);
  bool powered = properties != nullptr && boolProperty(*properties, "Powered").value_or(false);
  return powered ? ManagerState::poweredOn : ManagerState::poweredOff;
}

void BluezCentralManager::updateState() {
  ManagerState state = currentState();
  if (state == postedState_)
    return;
  postedState_ = state;
  deliverState(state);
}

std::optional<std::string> BluezCentralManager::adapterPath() const {
  return adapter_;
}

// A powered adapter stays chosen while it is powered: another one powering on later must not
// move a scan or a connection under way.
void BluezCentralManager::updateAdapter() {
  if (adapter_) {
    const Properties* adapter = connection_->objects().find(*adapter_, kAdapterInterface);
    if (adapter != nullptr && boolProperty(*adapter, "Powered").value_or(false))
      return;
  }
  adapter_ = chooseAdapter(connection_->objects(), wantedAdapter_);
}

void BluezCentralManager::objectsChanged(const ObjectsChange& change) {
  updateAdapter();
  updateState();
  if (scanning_) {
    auto adapter = adapterPath();
    if (adapter && isSighting(change, *adapter)) {
      if (auto peripheral = peripheralAt(change.path)) {
        const Properties* device = connection_->objects().find(change.path, kDeviceInterface);
        auto rssi = integerProperty(*device, "RSSI").value_or(kRssiUnavailable);
        deliverDiscovery(std::move(peripheral), static_cast<int>(rssi));
      }
    }
  }
  for (const auto& [path, peripheral] : peripherals_)
    peripheral->objectsChanged();
}

// bluetoothd announces a device it already knows only through PropertiesChanged, often
// with nothing but RSSI; a device that merely exists in the tree may be far away.
bool BluezCentralManager::isSighting(const ObjectsChange& change,
                                     const std::string& adapter) const {
  if (!isBelow(change.path, adapter))
    return false;
  if (connection_->objects().find(change.path, kDeviceInterface) == nullptr)
    return false;
  switch (change.kind) {
    case ObjectsChange::Kind::interfacesAdded:
      return std::find(change.interfaces.begin(), change.interfaces.end(), kDeviceInterface) !=
             change.interfaces.end();
    case ObjectsChange::Kind::propertiesChanged:
      return true;
    case ObjectsChange::Kind::reloaded:
    case ObjectsChange::Kind::interfacesRemoved:
      return false;
  }
  return false;
}

std::shared_ptr<BluezPeripheral> BluezCentralManager::peripheralAt(const std::string& path) {
  auto known = peripherals_.find(path);
  if (known != peripherals_.end())
    return known->second;
  const Properties* device = connection_->objects().find(path, kDeviceInterface);
  if (device == nullptr)
    return nullptr;
  auto address = deviceAddress(path, *device);
  if (!address)
    return nullptr;
  auto peripheral =
      std::make_shared<BluezPeripheral>(path, identifierFromAddress(*address), connection_, queue_);
  peripherals_.emplace(path, peripheral);
  return peripheral;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  std::vector<std::shared_ptr<Peripheral>> found;
  auto adapter = adapterPath();
  if (!adapter)
    return found;
  const ObjectTree& objects = connection_->objects();
  for (const Uuid& identifier : identifiers) {
    auto address = addressFromIdentifier(identifier);
    if (!address)
      continue;
    for (const auto& path : objects.descendantsWith(*adapter, kDeviceInterface)) {
      if (deviceAddress(path, *objects.find(path, kDeviceInterface)) != address)
        continue;
      auto peripheral = peripheralAt(path);
      if (peripheral && std::find(found.begin(), found.end(), peripheral) == found.end()) {
        found.push_back(std::move(peripheral));
      }
    }
  }
  return found;
}

void BluezCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>&,
                                                         const ScanOptions& options) {
  scanning_ = true;
  auto adapter = adapterPath();
  if (!adapter)
    return;
  sd_bus* bus = connection_->bus();
  BusMessagePtr call;
  if (newBluezCall(bus, *adapter, kAdapterInterface, "SetDiscoveryFilter", call) < 0 ||
      sd_bus_message_append(call.get(), "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                            static_cast<int>(options.allowDuplicates)) < 0) {
    return;
  }
  callAsync(bus, call.get(), [weak = weak_from_this(), adapter = *adapter](sd_bus_message* reply) {
    if (auto self = weak.lock())
      self->setDiscoveryFilterReply(adapter, reply);
  });
}

void BluezCentralManager::setDiscoveryFilterReply(const std::string& adapter,
                                                  sd_bus_message* reply) {
  if (refusedAccess(reply))
    return;
  // Any other failure leaves bluetoothd's default filter, which still finds LE devices.
  sd_bus* bus = connection_->bus();
  BusMessagePtr call;
  if (newBluezCall(bus, adapter, kAdapterInterface, "StartDiscovery", call) < 0)
    return;
  callAsync(bus, call.get(), [weak = weak_from_this()](sd_bus_message* reply) {
    if (auto self = weak.lock())
      self->startDiscoveryReply(reply);
  });
}

// The interface has no scan-failure event: a scan that did not start reports nothing,
// and the run's deadline ends it.
void BluezCentralManager::startDiscoveryReply(sd_bus_message* reply) {
  refusedAccess(reply);
}

void BluezCentralManager::stopScan() {
  scanning_ = false;
  auto adapter = adapterPath();
  if (!adapter)
    return;
  sd_bus* bus = connection_->bus();
  BusMessagePtr call;
  if (newBluezCall(bus, *adapter, kAdapterInterface, "StopDiscovery", call) < 0)
    return;
  callAsync(bus, call.get(), [weak = weak_from_this()](sd_bus_message* reply) {
    if (auto self = weak.lock())
      self->stopDiscoveryReply(reply);
  });
}

void BluezCentralManager::stopDiscoveryReply(sd_bus_message* reply) {
  refusedAccess(reply);
}

void BluezCentralManager::connectPeripheral(const std::shared_ptr<Peripheral>& peripheral) {
  auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
  if (!device) {
    if (peripheral)
      deliverConnectFailed(peripheral, Error{"Not a BlueZ device"});
    return;
  }
  const std::string& path = device->path();
  const Properties* properties = connection_->objects().find(path, kDeviceInterface);
  bool connectedBefore =
      properties != nullptr && boolProperty(*properties, "Connected").value_or(false);

  sd_bus* bus = connection_->bus();
  BusMessagePtr call;
  int r = newBluezCall(bus, path, kDeviceInterface, "Connect", call);
  if (r >= 0) {
    r = callAsync(
        bus, call.get(),
        [weak = weak_from_this(), device](sd_bus_message* reply) {
          if (auto self = weak.lock())
            self->connectReply(device, reply);
        },
        kConnectTimeout);
  }
  if (r < 0) {
    deliverConnectFailed(device, errnoError(r));
    return;
  }
  connectRequests_.try_emplace(path, connectedBefore);
}

void BluezCentralManager::connectReply(const std::shared_ptr<BluezPeripheral>& peripheral,
                                       sd_bus_message* reply) {
  if (const sd_bus_error* error = replyError(reply)) {
    if (!refusedAccess(reply))
      deliverConnectFailed(peripheral, toBleError(*error));
    return;
  }
  // bluetoothd does not always signal Connected; its reply is the answer.
  deliverConnected(peripheral);
}

bool BluezCentralManager::refusedAccess(sd_bus_message* reply) {
  const sd_bus_error* error = replyError(reply);
  if (error == nullptr || !isAccessDenied(*error))
    return false;
  connection_->noteAccessDenied();
  return true;
}

void BluezCentralManager::closeConnections() {
  std::vector<std::string> toClose;
  for (const auto& [path, connectedBefore] : connectRequests_) {
    if (!connectedBefore)
      toClose.push_back(path);
  }
  connectRequests_.clear();
  sd_bus* bus = connection_->bus();
  if (toClose.empty() || bus == nullptr || sd_bus_is_open(bus) <= 0)
    return;
  // Disconnect also cancels an attempt still pending, which the kernel would otherwise
  // complete as soon as the device advertises again.
  for (const auto& path : toClose) {
    sd_bus_call_method_async(bus, nullptr, kBluezService, path.c_str(), kDeviceInterface,
                             "Disconnect", nullptr, nullptr, "");
  }
  sd_bus_flush(bus);
}

void BluezCentralManager::deliverState(ManagerState state) {
  queue_.post([weak = weak_from_this(), state] {
    auto self = weak.lock();
    if (!self)
      return;
    self->reportedState_ = state;
    self->delegate_.centralManagerDidUpdateState(*self);
  });
}

void BluezCentralManager::deliverDiscovery(std::shared_ptr<BluezPeripheral> peripheral, int rssi) {
  queue_.post([weak = weak_from_this(), peripheral = std::move(peripheral), rssi] {
    auto self = weak.lock();
    // Nothing is reported after stopScan, even a sighting made before it.
    if (!self || !self->scanning_)
      return;
    std::shared_ptr<Peripheral> sighted = peripheral;
    self->delegate_.centralManagerDidDiscoverPeripheral(*self, sighted, AdvertisementData{}, rssi);
  });
}

void BluezCentralManager::deliverConnected(std::shared_ptr<Peripheral> peripheral) {
  queue_.post([weak = weak_from_this(), peripheral = std::move(peripheral)] {
    if (auto self = weak.lock())
      self->delegate_.centralManagerDidConnectPeripheral(*self, *peripheral);
  });
}

void BluezCentralManager::deliverConnectFailed(std::shared_ptr<Peripheral> peripheral,
                                               Error error) {
  queue_.post(
      [weak = weak_from_this(), peripheral = std::move(peripheral), error = std::move(error)] {
        if (auto self = weak.lock()) {
          self->delegate_.centralManagerDidFailToConnectPeripheral(*self, *peripheral, error);
        }
      });
}

}  // namespace norvel::ble::bluez
