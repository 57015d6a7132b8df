#pragma once

#import <CoreBluetooth/CoreBluetooth.h>

namespace norvel::ble::corebluetooth {
class CbCentralManager;
}

// The delegate of a CBCentralManager and of its peripherals: passes every event to the C++
// manager, each in its own autorelease pool. CoreBluetooth does not retain its delegates, so
// the manager keeps this object.
@interface NorvelCBEventBridge : NSObject <CBCentralManagerDelegate, CBPeripheralDelegate> {
  norvel::ble::corebluetooth::CbCentralManager* manager_;
}
- (instancetype)initWithManager:(norvel::ble::corebluetooth::CbCentralManager*)manager;
@end
