#include "ble/bluez/bluez_peripheral.h"

#include <algorithm>
#include <utility>

#include "ble/bluez/async_call.h"
#include "ble/bluez/bluez_names.h"
#include "ble/bluez/bus_error.h"
#include "ble/bluez/message_reading.h"

namespace norvel::ble::bluez {
namespace {

// The object's UUID property when it is present and well formed.
std::optional<Uuid> objectUuid(const ObjectTree& objects, const std::string& path,
                               const char* interface) {
  const Properties* properties = objects.find(path, interface);
  if (properties == nullptr)
    return std::nullopt;
  auto text = stringProperty(*properties, "UUID");
  if (!text)
    return std::nullopt;
  return Uuid::parseGatt(*text);
}

bool listed(const std::vector<Uuid>& uuids, const Uuid& uuid) {
  return std::find(uuids.begin(), uuids.end(), uuid) != uuids.end();
}

// The object already handed out for the path, or a new one when there is none or its UUID
// changed.
template <typename Object>
std::shared_ptr<Object> objectFor(std::map<std::string, std::shared_ptr<Object>>& known,
                                  const std::string& path, const Uuid& uuid) {
  auto& object = known[path];
  if (!object || object->uuid() != uuid)
    object = std::make_shared<Object>(path, uuid);
  return object;
}

}  // namespace

BluezPeripheral::BluezPeripheral(std::string path, Uuid identifier,
                                 std::shared_ptr<BluezConnection> connection, SdEventQueue& queue)
    : path_(std::move(path)),
      identifier_(identifier),
      connection_(std::move(connection)),
      queue_(queue) {}

std::optional<std::string> BluezPeripheral::name() const {
  const Properties* device = connection_->objects().find(path_, kDeviceInterface);
  if (device == nullptr)
    return std::nullopt;
  return stringProperty(*device, "Name");
}

void BluezPeripheral::discoverServices(const std::vector<Uuid>& serviceUUIDs) {
  pendingServiceDiscoveries_.push_back(serviceUUIDs);
  fetchResolvedServicesIfReady();
}

void BluezPeripheral::objectsChanged() {
  fetchResolvedServicesIfReady();
}

void BluezPeripheral::fetchResolvedServicesIfReady() {
  if (pendingServiceDiscoveries_.empty() || fetchingServices_)
    return;
  const Properties* device = connection_->objects().find(path_, kDeviceInterface);
  if (device == nullptr || !boolProperty(*device, "ServicesResolved").value_or(false))
    return;
  // bluetoothd may announce ServicesResolved before the GATT objects, so fetch them afresh.
  fetchingServices_ = true;
  connection_->refreshObjects([weak = weak_from_this()](bool fetched) {
    if (auto self = weak.lock())
      self->resolvedServicesFetched(fetched);
  });
}

// A tree that could not be fetched says nothing about the services: the discovery waits for
// the next ServicesResolved, from this bluetoothd or a new one.
void BluezPeripheral::resolvedServicesFetched(bool fetched) {
  fetchingServices_ = false;
  if (!fetched)
    return;
  auto discoveries = std::move(pendingServiceDiscoveries_);
  pendingServiceDiscoveries_.clear();
  for (const auto& uuids : discoveries)
    deliverServices(servicesMatching(uuids));
}

std::vector<std::shared_ptr<Service>> BluezPeripheral::servicesMatching(
    const std::vector<Uuid>& uuids) {
  const ObjectTree& objects = connection_->objects();
  std::vector<std::shared_ptr<Service>> services;
  for (const auto& path : objects.descendantsWith(path_, kGattServiceInterface)) {
    auto uuid = objectUuid(objects, path, kGattServiceInterface);
    if (uuid && listed(uuids, *uuid))
      services.push_back(objectFor(knownServices_, path, *uuid));
  }
  return services;
}

void BluezPeripheral::discoverCharacteristicsForService(
    const std::vector<Uuid>& characteristicUUIDs, Service& service) {
  auto* bluezService = dynamic_cast<BluezService*>(&service);
  if (bluezService == nullptr)
    return;
  auto known = knownServices_.find(bluezService->path());
  if (known == knownServices_.end() || known->second.get() != bluezService)
    return;
  deliverCharacteristics(known->second,
                         characteristicsMatching(*bluezService, characteristicUUIDs));
}

std::vector<std::shared_ptr<Characteristic>> BluezPeripheral::characteristicsMatching(
    const BluezService& service, const std::vector<Uuid>& uuids) {
  const ObjectTree& objects = connection_->objects();
  std::vector<std::shared_ptr<Characteristic>> characteristics;
  for (const auto& path : objects.descendantsWith(service.path(), kGattCharacteristicInterface)) {
    auto uuid = objectUuid(objects, path, kGattCharacteristicInterface);
    if (uuid && listed(uuids, *uuid)) {
      characteristics.push_back(objectFor(knownCharacteristics_, path, *uuid));
    }
  }
  return characteristics;
}

void BluezPeripheral::readValueForCharacteristic(Characteristic& characteristic) {
  auto* bluezCharacteristic = dynamic_cast<BluezCharacteristic*>(&characteristic);
  if (bluezCharacteristic == nullptr)
    return;
  auto known = knownCharacteristics_.find(bluezCharacteristic->path());
  if (known == knownCharacteristics_.end() || known->second.get() != bluezCharacteristic)
    return;
  std::shared_ptr<BluezCharacteristic> target = known->second;

  sd_bus* bus = connection_->bus();
  BusMessagePtr call;
  int r = newBluezCall(bus, target->path(), kGattCharacteristicInterface, "ReadValue", call);
  if (r >= 0)
    r = sd_bus_message_append(call.get(), "a{sv}", 0);
  if (r >= 0) {
    r = callAsync(bus, call.get(), [weak = weak_from_this(), target](sd_bus_message* reply) {
      if (auto self = weak.lock())
        self->readValueReply(target, reply);
    });
  }
  if (r < 0)
    deliverValue(target, std::nullopt, errnoError(r));
}

void BluezPeripheral::readValueReply(const std::shared_ptr<BluezCharacteristic>& characteristic,
                                     sd_bus_message* reply) {
  if (const sd_bus_error* error = replyError(reply)) {
    if (isAccessDenied(*error)) {
      connection_->noteAccessDenied();
      return;
    }
    deliverValue(characteristic, std::nullopt, toBleError(*error));
    return;
  }
  // A reply that is not `ay` carries no value.
  deliverValue(characteristic, readByteArray(reply), std::nullopt);
}

void BluezPeripheral::deliverServices(std::vector<std::shared_ptr<Service>> services) {
  queue_.post([weak = weak_from_this(), services = std::move(services)] {
    auto self = weak.lock();
    if (!self)
      return;
    self->services_ = services;
    if (self->delegate_ != nullptr)
      self->delegate_->peripheralDidDiscoverServices(*self, {});
  });
}

void BluezPeripheral::deliverCharacteristics(
    std::shared_ptr<BluezService> service,
    std::vector<std::shared_ptr<Characteristic>> characteristics) {
  queue_.post([weak = weak_from_this(), service = std::move(service),
               characteristics = std::move(characteristics)] {
    auto self = weak.lock();
    if (!self)
      return;
    service->setCharacteristics(characteristics);
    if (self->delegate_ != nullptr) {
      self->delegate_->peripheralDidDiscoverCharacteristicsForService(*self, *service, {});
    }
  });
}

void BluezPeripheral::deliverValue(std::shared_ptr<BluezCharacteristic> characteristic,
                                   std::optional<Bytes> value, std::optional<Error> error) {
  queue_.post([weak = weak_from_this(), characteristic = std::move(characteristic),
               value = std::move(value), error = std::move(error)] {
    auto self = weak.lock();
    if (!self)
      return;
    if (!error)
      characteristic->setValue(value);
    if (self->delegate_ != nullptr) {
      self->delegate_->peripheralDidUpdateValueForCharacteristic(*self, *characteristic, error);
    }
  });
}

}  // namespace norvel::ble::bluez
