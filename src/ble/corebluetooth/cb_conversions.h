#pragma once

// Between CoreBluetooth's Foundation objects and the central interface's values.
#import <CoreBluetooth/CoreBluetooth.h>

#include <optional>
#include <vector>

#include "ble/central_manager.h"

namespace norvel::ble::corebluetooth {

Uuid uuidFrom(CBUUID* uuid);
Uuid uuidFrom(NSUUID* identifier);
CBUUID* cbUuidFrom(const Uuid& uuid);
NSArray<CBUUID*>* cbUuidsFrom(const std::vector<Uuid>& uuids);
NSUUID* nsUuidFrom(const Uuid& uuid);

std::optional<std::string> textFrom(NSString* text);
std::optional<Bytes> bytesFrom(NSData* data);
std::optional<Error> errorFrom(NSError* error);
// Text, numbers and bytes; values of other types are left out.
AdvertisementData advertisementFrom(NSDictionary<NSString*, id>* advertisementData);

}  // namespace norvel::ble::corebluetooth
