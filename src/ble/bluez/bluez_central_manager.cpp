#include "ble/bluez/bluez_central_manager.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "ble/bluez/adapter_choice.h"
#include "ble/bluez/bluez_bus.h"
#include "ble/bluez/device_identifier.h"
#include "ble/trace.h"

namespace norvel::ble::bluez {
namespace {

// What the central stack reports when a sighting carries no signal strength.
constexpr int kRssiUnavailable = 127;

// The pause before connecting again, which also paces a device that fails every time.
constexpr std::uint64_t kRetryDelayUsec = 250'000;

constexpr const char* kStateNames[] = {"unknown",      "resetting",   "unsupported",
                                       "unauthorized", "powered off", "powered on"};

// NORVEL_ADAPTER names the adapter to use; unset or empty, any will do.
std::optional<std::string> wantedAdapter() {
  const char* wanted = std::getenv("NORVEL_ADAPTER");
  return wanted != nullptr && *wanted != '\0' ? std::optional<std::string>(wanted) : std::nullopt;
}

bool isBelow(std::string_view path, std::string_view parent) {
  return path.size() > parent.size() + 1 && path.starts_with(parent) && path[parent.size()] == '/';
}

bool isError(const sd_bus_error& error, const char* name, std::string_view message) {
  return sd_bus_error_has_name(&error, name) && error.message != nullptr &&
         message == error.message;
}

// Another client is connecting the same device (BlueZ 5.81 and later, then earlier).
bool isCollision(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, "org.bluez.Error.InProgress") ||
         isError(error, "org.bluez.Error.Failed", "Operation already in progress");
}

// Connect errors that say nothing about the device: the controller or kernel gave the
// attempt up for a passing local reason (texts of BlueZ 5.62 and later, then of 5.55 to 5.61),
// or the attempt collided with another client's. The device usually connects on the next
// attempt. This process never cancels an attempt and carries
// on, so a cancelled one was cancelled by someone else.
bool isPassing(const sd_bus_error& error) {
  constexpr const char* kFailed = "org.bluez.Error.Failed";
  return isError(error, kFailed, "le-connection-abort-by-local") ||
         isError(error, kFailed, "Software caused connection abort") ||
         isError(error, kFailed, "br-connection-canceled") || isCollision(error);
}

// A flag of an object that may be missing; a missing object or flag reads as false.
bool isSet(const Properties* properties, std::string_view flag) {
  return properties != nullptr && property<bool>(*properties, flag).value_or(false);
}

const char* orEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

BluezCentralManager::BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate)
    : queue_(queue),
      delegate_(delegate),
      bluetoothd_(queue.event(), *this),
      wantedAdapter_(wantedAdapter()) {}

bool BluezCentralManager::isPowered(const std::string& adapter) const {
  return isSet(bluetoothd_.objects().find(adapter, kAdapterInterface), "Powered");
}

ManagerState BluezCentralManager::currentState() const {
  if (bluetoothd_.accessDenied())
    return ManagerState::unauthorized;
  switch (bluetoothd_.presence()) {
    case BluetoothdClient::Presence::unknown:
      return ManagerState::unknown;
    case BluetoothdClient::Presence::absent:
      return ManagerState::unsupported;
    case BluetoothdClient::Presence::present:
      break;
  }
  if (!adapter_)
    return ManagerState::unsupported;
  return isPowered(*adapter_) ? ManagerState::poweredOn : ManagerState::poweredOff;
}

// A powered adapter stays chosen while it is powered: another one powering on later must not
// move a scan or a connection under way.
void BluezCentralManager::updateAdapter() {
  if (adapter_ && isPowered(*adapter_))
    return;
  auto chosen = chooseAdapter(bluetoothd_.objects(), wantedAdapter_);
  if (chosen == adapter_)
    return;
  adapter_ = std::move(chosen);
  if (!adapter_)
    trace("no adapter%s%s: waiting for one", wantedAdapter_ ? " named " : "",
          wantedAdapter_.value_or("").c_str());
  else if (wantedAdapter_)
    trace("adapter %s chosen: named by NORVEL_ADAPTER=%s", adapter_->c_str(),
          wantedAdapter_->c_str());
  else
    trace("adapter %s chosen: %s", adapter_->c_str(),
          isPowered(*adapter_) ? "the first powered one" : "the first one, none is powered");
}

// bluetoothd announces a device it already knows only through PropertiesChanged, often
// with nothing but RSSI; a device that merely exists in the tree may be far away.
void BluezCentralManager::objectsChanged(std::string_view sighted) {
  const bool sighting = scanning_ && !sighted.empty();
  updateAdapter();
  if (ManagerState state = currentState(); state != state_) {
    state_ = state;
    trace("state: %s", kStateNames[static_cast<int>(state)]);
    delegate_.centralManagerDidUpdateState(*this);
  }
  // Nothing is reported after stopScan, even from a change that came before it.
  if (sighting && scanning_ && adapter_ && isBelow(sighted, *adapter_))
    reportSighting(sighted);
  for (auto& [path, request] : connectRequests_)
    followConnection(request);
  for (const auto& [path, peripheral] : peripherals_)
    peripheral->objectsChanged();
}

void BluezCentralManager::reportSighting(std::string_view path) {
  BluezPeripheral* peripheral = peripheralAt(std::string(path));
  if (peripheral == nullptr)
    return;
  const Properties& device = *bluetoothd_.objects().find(path, kDeviceInterface);
  auto rssi = property<std::int64_t>(device, "RSSI").value_or(kRssiUnavailable);
  const bool first = traceEnabled() && tracedSightings_.emplace(path).second;
  if (first)
    trace("device %s sighted, named \"%s\"", peripheral->path().c_str(),
          peripheral->name().value_or("").c_str());
  delegate_.centralManagerDidDiscoverPeripheral(*this, *peripheral, {}, static_cast<int>(rssi));
  // The delegate stops the scan for the device it wants.
  if (first || !scanning_)
    trace("device %s %s", peripheral->path().c_str(), scanning_ ? "passed over" : "chosen");
}

BluezPeripheral* BluezCentralManager::peripheralAt(const std::string& path) {
  if (auto known = peripherals_.find(path); known != peripherals_.end())
    return known->second.get();
  const Properties* device = bluetoothd_.objects().find(path, kDeviceInterface);
  auto identifier = device != nullptr ? deviceIdentifier(*device) : std::nullopt;
  if (!identifier)
    return nullptr;
  auto peripheral = std::make_unique<BluezPeripheral>(bluetoothd_, queue_, path, *identifier);
  return peripherals_.emplace(path, std::move(peripheral)).first->second.get();
}

std::vector<Peripheral*> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<Uuid>& identifiers) {
  std::vector<Peripheral*> found;
  if (!adapter_)
    return found;
  const ObjectTree& objects = bluetoothd_.objects();
  for (const auto& path : objects.descendantsWith(*adapter_, kDeviceInterface)) {
    auto identifier = deviceIdentifier(*objects.find(path, kDeviceInterface));
    if (identifier &&
        std::find(identifiers.begin(), identifiers.end(), *identifier) != identifiers.end()) {
      found.push_back(peripheralAt(path));
    }
  }
  trace("%zu known device%s with the identifier", found.size(), found.size() == 1 ? "" : "s");
  return found;
}

void BluezCentralManager::scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>&,
                                                         const ScanOptions& options) {
  scanning_ = true;
  if (!adapter_)
    return;
  int r = callBluez(bluetoothd_.bus(), discoveryCall_, *adapter_, kAdapterInterface,
                    "SetDiscoveryFilter", &BluezCentralManager::setDiscoveryFilterReply, this,
                    "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                    static_cast<int>(options.allowDuplicates));
  if (r < 0)
    trace("SetDiscoveryFilter: not sent (%s), so no discovery", std::strerror(-r));
}

// Any failure but a refusal leaves bluetoothd's default filter, which still finds LE devices.
int BluezCentralManager::setDiscoveryFilterReply(sd_bus_message* reply, void* userdata,
                                                 sd_bus_error*) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->discoveryCall_.reset();
  if (!self->bluetoothd_.believe(reply, "SetDiscoveryFilter") || !self->adapter_)
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply))
    trace("SetDiscoveryFilter failed (%s), ignoring", orEmpty(error->message));
  int r =
      callBluez(self->bluetoothd_.bus(), self->discoveryCall_, *self->adapter_, kAdapterInterface,
                "StartDiscovery", &BluezCentralManager::startDiscoveryReply, self, "");
  if (r < 0)
    trace("StartDiscovery: not sent (%s), so no discovery", std::strerror(-r));
  return 0;
}

// The interface has no scan-failure event: a scan that did not start reports nothing, and
// the run's deadline ends it.
int BluezCentralManager::startDiscoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->discoveryCall_.reset();
  if (!self->bluetoothd_.believe(reply, "StartDiscovery"))
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply))
    trace("StartDiscovery failed (%s): no device will be sighted", orEmpty(error->message));
  else
    trace("discovery started on %s", self->adapter_.value_or("").c_str());
  return 0;
}

// Also forgets a scan request still pending, so that discovery is not started after this.
void BluezCentralManager::stopScan() {
  scanning_ = false;
  discoveryCall_.reset();
  if (!adapter_)
    return;
  int r = callBluez(bluetoothd_.bus(), discoveryCall_, *adapter_, kAdapterInterface,
                    "StopDiscovery", &BluezCentralManager::stopDiscoveryReply, this, "");
  if (r < 0)
    trace("StopDiscovery: not sent (%s), ignoring", std::strerror(-r));
}

int BluezCentralManager::stopDiscoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->discoveryCall_.reset();
  if (!self->bluetoothd_.believe(reply, "StopDiscovery"))
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply))
    trace("StopDiscovery failed (%s), ignoring", orEmpty(error->message));
  else
    trace("discovery stopped");
  return 0;
}

void BluezCentralManager::connectPeripheral(Peripheral& peripheral) {
  // Every peripheral this manager hands out is one of its own.
  auto& device = static_cast<BluezPeripheral&>(peripheral);
  const bool connected =
      isSet(bluetoothd_.objects().find(device.path(), kDeviceInterface), "Connected");
  ConnectRequest fresh{.manager = this, .peripheral = &device, .connectedBefore = connected};
  auto& request = connectRequests_.try_emplace(device.path(), std::move(fresh)).first->second;
  request.answerOwed = true;
  sendConnect(request);
}

// At most one attempt is in flight: a request made while one is pending is answered by it.
void BluezCentralManager::sendConnect(ConnectRequest& request) {
  const std::string& path = request.peripheral->path();
  request.retry.reset();
  request.awaitingDevice = false;
  if (request.call)
    return;
  const Properties* device = bluetoothd_.objects().find(path, kDeviceInterface);
  if (device == nullptr && request.attempts > 0) {
    trace("Connect %s: waiting for bluetoothd to know the device again", path.c_str());
    request.awaitingDevice = true;
    return;
  }
  request.sawConnected = isSet(device, "Connected");
  // The attempt that collided with ours was another client's: its connection is theirs.
  if (request.collided && request.sawConnected && !request.connectedBefore) {
    trace("%s was connected by another client: it is left connected", path.c_str());
    request.connectedBefore = true;
  }
  int r = callBluez(bluetoothd_.bus(), request.call, path, kDeviceInterface, "Connect",
                    &BluezCentralManager::connectReply, &request, "");
  if (r < 0) {
    trace("Connect %s: not sent (%s)", path.c_str(), std::strerror(-r));
    queue_.post([this, &request, r] { deliverConnectFailed(request, errnoError(r)); });
    return;
  }
  trace("Connect %s sent (attempt %d)", path.c_str(), ++request.attempts);
}

// bluetoothd does not always signal Connected; its reply is the answer.
int BluezCentralManager::connectReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& request = *static_cast<ConnectRequest*>(userdata);
  request.call.reset();
  BluezCentralManager& self = *request.manager;
  const char* path = request.peripheral->path().c_str();
  if (!self.bluetoothd_.believe(reply, "Connect"))
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    trace("Connect %s failed: %s: %s", path, orEmpty(error->name), orEmpty(error->message));
    request.collided = isCollision(*error);
    if (isPassing(*error))
      self.retryLater(request, "the failure is a passing one");
    else
      self.deliverConnectFailed(request, toBleError(*error));
    return 0;
  }
  trace("Connect %s answered: connected", path);
  request.awaitingServices = true;
  if (std::exchange(request.answerOwed, false))
    self.delegate_.centralManagerDidConnectPeripheral(self, *request.peripheral);
  return 0;
}

void BluezCentralManager::retryLater(ConnectRequest& request, const char* why) {
  trace("connecting %s again in %llu ms: %s", request.peripheral->path().c_str(),
        static_cast<unsigned long long>(kRetryDelayUsec / 1000), why);
  sd_event_source* source = nullptr;
  int r = sd_event_add_time_relative(queue_.event(), &source, CLOCK_MONOTONIC, kRetryDelayUsec, 1,
                                     &BluezCentralManager::retryDue, &request);
  if (r < 0) {
    trace("retry timer: %s, connecting again at once", std::strerror(-r));
    sendConnect(request);
    return;
  }
  request.retry.reset(source);
}

int BluezCentralManager::retryDue(sd_event_source*, std::uint64_t, void* userdata) {
  auto& request = *static_cast<ConnectRequest*>(userdata);
  request.manager->sendConnect(request);
  return 0;
}

// What bluetoothd says of a device being connected: an attempt whose link bluetoothd brought
// up and took down again is retried at once; a link lost before the services were resolved
// is connected again; a device bluetoothd forgot is connected once it knows it again.
void BluezCentralManager::followConnection(ConnectRequest& request) {
  const Properties* device =
      bluetoothd_.objects().find(request.peripheral->path(), kDeviceInterface);
  const bool connected = isSet(device, "Connected");
  if (request.awaitingDevice && device != nullptr) {
    sendConnect(request);
  } else if (request.retry && request.sawConnected && !connected) {
    sendConnect(request);
  } else if (request.awaitingServices && !request.call) {
    if (isSet(device, "ServicesResolved")) {
      request.awaitingServices = false;
    } else if (device == nullptr || (request.sawConnected && !connected)) {
      request.awaitingServices = false;
      retryLater(request, device == nullptr ? "bluetoothd forgot the device before its services"
                                            : "the link went down before the services");
    }
  }
  request.sawConnected = request.sawConnected || connected;
}

void BluezCentralManager::deliverConnectFailed(ConnectRequest& request, const Error& error) {
  request.answerOwed = false;
  delegate_.centralManagerDidFailToConnectPeripheral(*this, *request.peripheral, error);
}

void BluezCentralManager::closeConnections() {
  sd_bus* bus = bluetoothd_.bus();
  if (bus == nullptr || sd_bus_is_open(bus) <= 0)
    return;
  // Disconnect also cancels an attempt still pending, which the kernel would otherwise
  // complete as soon as the device advertises again.
  for (const auto& [path, request] : std::exchange(connectRequests_, {})) {
    if (!request.connectedBefore) {
      int r = sd_bus_call_method_async(bus, nullptr, kBluezService, path.c_str(), kDeviceInterface,
                                       "Disconnect", nullptr, nullptr, "");
      if (r < 0)
        trace("Disconnect %s: not sent (%s)", path.c_str(), std::strerror(-r));
      else
        trace("Disconnect %s sent", path.c_str());
    } else {
      trace("%s left connected: it was not connected by this run", path.c_str());
    }
  }
  sd_bus_flush(bus);
}

}  // namespace norvel::ble::bluez
