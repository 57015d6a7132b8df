#include "ble/corebluetooth/cb_event_bridge.h"

#include "ble/corebluetooth/cb_central_manager.h"

@implementation NorvelCBEventBridge

- (instancetype)initWithManager:(norvel::ble::corebluetooth::CbCentralManager*)manager {
  if ((self = [super init]))
    manager_ = manager;
  return self;
}

- (void)centralManagerDidUpdateState:(CBCentralManager*)central {
  (void)central;
  @autoreleasepool {
    manager_->didUpdateState();
  }
}

- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI {
  (void)central;
  @autoreleasepool {
    manager_->didDiscover(peripheral, advertisementData, [RSSI intValue]);
  }
}

- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral {
  (void)central;
  @autoreleasepool {
    manager_->didConnect(peripheral);
  }
}

- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(NSError*)error {
  (void)central;
  @autoreleasepool {
    manager_->didFailToConnect(peripheral, error);
  }
}

- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(NSError*)error {
  @autoreleasepool {
    manager_->peripheralFor(peripheral).didDiscoverServices(error);
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(NSError*)error {
  @autoreleasepool {
    manager_->peripheralFor(peripheral).didDiscoverCharacteristics(service, error);
  }
}

- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(NSError*)error {
  @autoreleasepool {
    manager_->peripheralFor(peripheral).didUpdateValue(characteristic, error);
  }
}

@end
