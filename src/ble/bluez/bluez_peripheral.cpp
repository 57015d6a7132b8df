#include "ble/bluez/bluez_peripheral.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ble/bluez/bluez_bus.h"
#include "ble/trace.h"

namespace norvel::ble::bluez {
namespace {

// The objects below `parent` with the interface whose UUID is in the list, in object-path
// order, each as its UUID and its path.
template <typename Attribute>
std::vector<Attribute> attributesBelow(const ObjectTree& objects, const std::string& parent,
                                       const char* interface, const std::vector<Uuid>& uuids) {
  std::vector<Attribute> found;
  for (const auto& path : objects.descendantsWith(parent, interface)) {
    auto text = property<std::string>(*objects.find(path, interface), "UUID");
    auto uuid = text ? Uuid::parse(*text) : std::nullopt;
    if (uuid && std::find(uuids.begin(), uuids.end(), *uuid) != uuids.end())
      found.push_back(Attribute{*uuid, path, {}});
  }
  return found;
}

const char* orNone(const char* text) {
  return text != nullptr ? text : "none";
}

}  // namespace

BluezPeripheral::BluezPeripheral(BluetoothdClient& bluetoothd, SdEventQueue& queue,
                                 std::string path, Uuid identifier)
    : bluetoothd_(bluetoothd), queue_(queue), path_(std::move(path)), identifier_(identifier) {}

std::optional<std::string> BluezPeripheral::name() const {
  const Properties* device = bluetoothd_.objects().find(path_, kDeviceInterface);
  return device != nullptr ? property<std::string>(*device, "Name") : std::nullopt;
}

void BluezPeripheral::discoverServices(const std::vector<Uuid>& serviceUUIDs) {
  trace("%s: waiting for bluetoothd to resolve its services", path_.c_str());
  pendingServiceDiscoveries_.push_back(serviceUUIDs);
  fetchResolvedServicesIfReady();
}

void BluezPeripheral::objectsChanged() {
  fetchResolvedServicesIfReady();
}

void BluezPeripheral::fetchResolvedServicesIfReady() {
  if (pendingServiceDiscoveries_.empty() || fetchingServices_)
    return;
  const Properties* device = bluetoothd_.objects().find(path_, kDeviceInterface);
  if (device == nullptr || !property<bool>(*device, "ServicesResolved").value_or(false))
    return;
  // bluetoothd may announce ServicesResolved before the GATT objects, so fetch them afresh.
  trace("%s: services resolved, fetching its objects", path_.c_str());
  fetchingServices_ = true;
  bluetoothd_.refreshObjects([this](bool fetched) { resolvedServicesFetched(fetched); });
}

// A tree that could not be fetched says nothing about the services: the discovery waits for
// the next ServicesResolved, from this bluetoothd or a new one.
void BluezPeripheral::resolvedServicesFetched(bool fetched) {
  fetchingServices_ = false;
  if (!fetched) {
    trace("%s: objects not fetched, waiting for the services to be resolved again", path_.c_str());
    return;
  }
  for (const auto& uuids : std::exchange(pendingServiceDiscoveries_, {})) {
    services_ =
        attributesBelow<Service>(bluetoothd_.objects(), path_, kGattServiceInterface, uuids);
    trace("%s: %zu of the services looked for found", path_.c_str(), services_->size());
    if (delegate_ != nullptr)
      delegate_->peripheralDidDiscoverServices(*this, std::nullopt);
  }
}

void BluezPeripheral::discoverCharacteristicsForService(
    const std::vector<Uuid>& characteristicUUIDs, const Service& service) {
  Service discovered = service;
  discovered.characteristics = attributesBelow<Characteristic>(
      bluetoothd_.objects(), service.stackKey, kGattCharacteristicInterface, characteristicUUIDs);
  if (traceEnabled()) {
    for (const auto& characteristic : *discovered.characteristics)
      trace("characteristic %s found", characteristic.stackKey.c_str());
    if (discovered.characteristics->empty())
      trace("%s: none of the characteristics looked for found", service.stackKey.c_str());
  }
  // Answered from the tree at once, so delivered from the loop, not from inside this request.
  queue_.post([this, discovered = std::move(discovered)] {
    if (services_) {
      for (auto& known : *services_) {
        if (known.stackKey == discovered.stackKey)
          known.characteristics = discovered.characteristics;
      }
    }
    if (delegate_ != nullptr)
      delegate_->peripheralDidDiscoverCharacteristicsForService(*this, discovered, std::nullopt);
  });
}

void BluezPeripheral::readValueForCharacteristic(const Characteristic& characteristic) {
  auto read = reads_.insert(reads_.end(), PendingRead{this, characteristic, nullptr, {}});
  read->self = read;
  read->characteristic.value.reset();
  int r = callBluez(bluetoothd_.bus(), read->slot, characteristic.stackKey,
                    kGattCharacteristicInterface, "ReadValue", &BluezPeripheral::readValueReply,
                    &*read, "a{sv}", 0);
  if (r < 0) {
    trace("ReadValue %s: not sent (%s)", characteristic.stackKey.c_str(), std::strerror(-r));
    reads_.erase(read);
    queue_.post([this, characteristic, r] { deliverValue(characteristic, errnoError(r)); });
    return;
  }
  trace("ReadValue %s sent", characteristic.stackKey.c_str());
}

int BluezPeripheral::readValueReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* read = static_cast<PendingRead*>(userdata);
  BluezPeripheral& self = *read->peripheral;
  Characteristic characteristic = std::move(read->characteristic);
  self.reads_.erase(read->self);
  if (!self.bluetoothd_.believe(reply, "ReadValue"))
    return 0;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    trace("ReadValue %s failed: %s: %s", characteristic.stackKey.c_str(), error->name,
          error->message != nullptr ? error->message : "");
    self.deliverValue(characteristic, toBleError(*error));
    return 0;
  }
  // A reply that is not `ay` carries no value.
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_has_signature(reply, "ay") > 0 &&
      sd_bus_message_read_array(reply, 'y', &data, &size) >= 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    characteristic.value = size > 0 ? Bytes(bytes, bytes + size) : Bytes{};
    trace("ReadValue %s answered: %zu bytes", characteristic.stackKey.c_str(), size);
  } else {
    trace("ReadValue %s answered with no byte array (%s)", characteristic.stackKey.c_str(),
          orNone(sd_bus_message_get_signature(reply, true)));
  }
  self.deliverValue(characteristic, std::nullopt);
  return 0;
}

void BluezPeripheral::deliverValue(const Characteristic& characteristic,
                                   const std::optional<Error>& error) {
  if (delegate_ != nullptr)
    delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristic, error);
}

}  // namespace norvel::ble::bluez
