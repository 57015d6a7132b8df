// The model's CoreBluetooth: the subset norvel-read's backend uses, with Apple's public names
// and signatures (from Apple's documentation), over GNUstep's Foundation. The instance
// variables are the model's own.
#pragma once

#import <Foundation/Foundation.h>

#include <dispatch/dispatch.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, CBManagerState) {
  CBManagerStateUnknown = 0,
  CBManagerStateResetting = 1,
  CBManagerStateUnsupported = 2,
  CBManagerStateUnauthorized = 3,
  CBManagerStatePoweredOff = 4,
  CBManagerStatePoweredOn = 5,
};

extern NSString* const CBCentralManagerScanOptionAllowDuplicatesKey;
extern NSString* const CBAdvertisementDataLocalNameKey;
extern NSString* const CBErrorDomain;
extern NSString* const CBATTErrorDomain;

@class CBCentralManager, CBPeripheral, CBService;

@interface CBUUID : NSObject <NSCopying> {
 @package
  NSData* data_;
}
+ (CBUUID*)UUIDWithString:(NSString*)theString;
// 2 bytes for a UUID over the Bluetooth Base UUID with a 16-bit value, else 16.
@property(nonatomic, readonly) NSData* data;
@property(nonatomic, readonly) NSString* UUIDString;
@end

@interface CBAttribute : NSObject {
 @package
  CBUUID* uuid_;
}
@property(readonly, nonatomic) CBUUID* UUID;
@end

@interface CBCharacteristic : CBAttribute {
 @package
  CBService* service_;
  NSData* value_;
}
@property(assign, readonly, nonatomic) CBService* service;
@property(retain, readonly, nullable) NSData* value;
@end

@interface CBService : CBAttribute {
 @package
  CBPeripheral* peripheral_;
  NSArray<CBCharacteristic*>* characteristics_;
}
@property(assign, readonly, nonatomic) CBPeripheral* peripheral;
@property(retain, readonly, nullable) NSArray<CBCharacteristic*>* characteristics;
@end

@protocol CBPeripheralDelegate <NSObject>
@optional
- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(nullable NSError*)error;
@end

@interface CBPeer : NSObject {
 @package
  NSUUID* identifier_;
}
@property(readonly, nonatomic) NSUUID* identifier;
@end

@interface CBPeripheral : CBPeer {
 @package
  id<CBPeripheralDelegate> delegate_;
  NSString* name_;
  NSArray<CBService*>* services_;
  NSDictionary* script_;
  NSInteger connection_;
}
// Not retained (Apple: weak).
@property(assign, nonatomic, nullable) id<CBPeripheralDelegate> delegate;
@property(retain, readonly, nullable) NSString* name;
@property(retain, readonly, nullable) NSArray<CBService*>* services;
- (void)discoverServices:(nullable NSArray<CBUUID*>*)serviceUUIDs;
- (void)discoverCharacteristics:(nullable NSArray<CBUUID*>*)characteristicUUIDs
                     forService:(CBService*)service;
- (void)readValueForCharacteristic:(CBCharacteristic*)characteristic;
@end

@protocol CBCentralManagerDelegate <NSObject>
@required
- (void)centralManagerDidUpdateState:(CBCentralManager*)central;
@optional
- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI;
- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral;
- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(nullable NSError*)error;
@end

@interface CBManager : NSObject {
 @package
  CBManagerState state_;
}
@property(nonatomic, assign, readonly) CBManagerState state;
@end

@interface CBCentralManager : CBManager {
 @package
  id<CBCentralManagerDelegate> delegate_;
  BOOL scanning_;
}
- (instancetype)initWithDelegate:(nullable id<CBCentralManagerDelegate>)delegate
                           queue:(nullable dispatch_queue_t)queue;
- (NSArray<CBPeripheral*>*)retrievePeripheralsWithIdentifiers:(NSArray<NSUUID*>*)identifiers;
- (void)scanForPeripheralsWithServices:(nullable NSArray<CBUUID*>*)serviceUUIDs
                               options:(nullable NSDictionary<NSString*, id>*)options;
- (void)stopScan;
- (void)connectPeripheral:(CBPeripheral*)peripheral
                  options:(nullable NSDictionary<NSString*, id>*)options;
- (void)cancelPeripheralConnection:(CBPeripheral*)peripheral;
@end

NS_ASSUME_NONNULL_END
