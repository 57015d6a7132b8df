#include "ble/corebluetooth/cb_conversions.h"

namespace norvel::ble::corebluetooth {
namespace {

// 0000xxxx-0000-1000-8000-00805F9B34FB: a 16- or 32-bit UUID stands for its expansion over it.
constexpr Uuid::Bytes kBluetoothBaseUuid = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

NSString* nsStringFrom(const std::string& text) {
  return [NSString stringWithUTF8String:text.c_str()];
}

}  // namespace

// CBUUID keeps the short form of a UUID over the Bluetooth Base UUID: 2 or 4 bytes of data.
Uuid uuidFrom(CBUUID* uuid) {
  NSData* data = [uuid data];
  const auto* bytes = static_cast<const std::uint8_t*>([data bytes]);
  const std::size_t length = [data length];
  Uuid::Bytes expanded = kBluetoothBaseUuid;
  if (length == expanded.size())
    std::copy(bytes, bytes + length, expanded.begin());
  else if (length == 2 || length == 4)
    std::copy(bytes, bytes + length, expanded.begin() + 4 - static_cast<std::ptrdiff_t>(length));
  return Uuid(expanded);
}

Uuid uuidFrom(NSUUID* identifier) {
  return Uuid::parse([[identifier UUIDString] UTF8String]).value_or(Uuid());
}

CBUUID* cbUuidFrom(const Uuid& uuid) {
  return [CBUUID UUIDWithString:nsStringFrom(uuid.toString())];
}

NSArray<CBUUID*>* cbUuidsFrom(const std::vector<Uuid>& uuids) {
  NSMutableArray<CBUUID*>* list = [NSMutableArray arrayWithCapacity:uuids.size()];
  for (const Uuid& uuid : uuids)
    [list addObject:cbUuidFrom(uuid)];
  return list;
}

NSUUID* nsUuidFrom(const Uuid& uuid) {
  return [[[NSUUID alloc] initWithUUIDString:nsStringFrom(uuid.toString())] autorelease];
}

std::optional<std::string> textFrom(NSString* text) {
  if (text == nil)
    return std::nullopt;
  return std::string([text UTF8String]);
}

std::optional<Bytes> bytesFrom(NSData* data) {
  if (data == nil)
    return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>([data bytes]);
  return Bytes(bytes, bytes + [data length]);
}

std::optional<Error> errorFrom(NSError* error) {
  if (error == nil)
    return std::nullopt;
  return Error{[[error localizedDescription] UTF8String]};
}

AdvertisementData advertisementFrom(NSDictionary<NSString*, id>* advertisementData) {
  AdvertisementData converted;
  for (NSString* key in advertisementData) {
    id value = [advertisementData objectForKey:key];
    const std::string name = [key UTF8String];
    if ([value isKindOfClass:[NSString class]])
      converted.emplace(name, std::string([value UTF8String]));
    else if ([value isKindOfClass:[NSNumber class]])
      converted.emplace(name, static_cast<std::int64_t>([value longLongValue]));
    else if ([value isKindOfClass:[NSData class]])
      converted.emplace(name, *bytesFrom(value));
  }
  return converted;
}

}  // namespace norvel::ble::corebluetooth
