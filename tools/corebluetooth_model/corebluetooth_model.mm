// The model's CoreBluetooth, played from the scenario in CB_MODEL_SCENARIO (JSON; see the
// README). Like CoreBluetooth it answers every request later, on the main queue; ignores,
// with an "API MISUSE" line, requests made before powered-on or naming another peripheral's
// attributes; and drops the connection of a peripheral the app did not keep.
#import <CoreBluetooth/CoreBluetooth.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include "model_log.h"

NSString* const CBCentralManagerScanOptionAllowDuplicatesKey = @"kCBScanOptionAllowDuplicates";
NSString* const CBAdvertisementDataLocalNameKey = @"kCBAdvDataLocalName";
NSString* const CBErrorDomain = @"CBErrorDomain";
NSString* const CBATTErrorDomain = @"CBATTErrorDomain";

namespace {

enum Connection : NSInteger { kNone, kWanted, kConnected };

NSDictionary* scenario() {
  static NSDictionary* parsed = [] {
    const char* text = std::getenv("CB_MODEL_SCENARIO");
    NSData* json = [@(text != nullptr ? text : "{}") dataUsingEncoding:NSUTF8StringEncoding];
    return [[NSJSONSerialization JSONObjectWithData:json options:0 error:nullptr] retain];
  }();
  return parsed;
}

// The peripherals alive, by identifier, not retained: a peripheral the app lets go is freed.
std::map<std::string, CBPeripheral*> livePeripherals;

const char* text(id object) {
  return object == nil ? "nil" : [[object description] UTF8String];
}

const char* textOf(CBPeer* peer) {
  return [[[peer identifier] UUIDString] UTF8String];
}

// Runs the task on the main queue after the delay, in its own autorelease pool, keeping the
// objects until then.
void later(double seconds, NSArray* kept, std::function<void()> task) {
  auto* item = new std::pair<NSArray*, std::function<void()>>([kept retain], std::move(task));
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(seconds * 1e9)),
                   dispatch_get_main_queue(), item, [](void* context) {
                     auto* work = static_cast<std::pair<NSArray*, std::function<void()>>*>(context);
                     @autoreleasepool {
                       work->second();
                     }
                     [work->first release];
                     delete work;
                   });
}

// Logs the call; the scenario may have the model send itself a signal once it is made.
void called(NSString* call) {
  modelLog("%s", [call UTF8String]);
  NSDictionary* signal = [scenario() objectForKey:@"signal"];
  NSString* after = [signal objectForKey:@"after"];
  if (after != nil && [call hasPrefix:after]) {
    const int number = [[signal objectForKey:@"number"] intValue];
    later(0, nil, [number] { kill(getpid(), number); });
  }
}

bool misused(bool misuse, const char* what) {
  if (misuse)
    modelLog("API MISUSE: %s", what);
  return misuse;
}

NSError* errorFrom(NSDictionary* script) {
  NSDictionary* info = @{NSLocalizedDescriptionKey : [script objectForKey:@"description"]};
  return [NSError errorWithDomain:[script objectForKey:@"domain"]
                             code:[[script objectForKey:@"code"] integerValue]
                         userInfo:info];
}

NSData* bytesFromHex(NSString* hex) {
  NSMutableData* bytes = [NSMutableData data];
  for (NSUInteger i = 0; i + 1 < [hex length]; i += 2) {
    const unsigned char byte =
        std::strtoul([[hex substringWithRange:NSMakeRange(i, 2)] UTF8String], nullptr, 16);
    [bytes appendBytes:&byte length:1];
  }
  return bytes;
}

// The scripts whose UUID is in the filter (nil: all).
NSArray* matching(NSArray* scripts, NSArray<CBUUID*>* filter) {
  NSMutableArray* found = [NSMutableArray array];
  for (NSDictionary* script in scripts) {
    if (filter == nil ||
        [filter containsObject:[CBUUID UUIDWithString:[script objectForKey:@"uuid"]]])
      [found addObject:script];
  }
  return found;
}

NSDictionary* scriptOf(NSArray* scripts, CBAttribute* attribute) {
  NSArray* found = matching(scripts, @[ [attribute UUID] ]);
  return [found count] != 0 ? [found objectAtIndex:0] : nil;
}

}  // namespace

@implementation CBUUID
+ (CBUUID*)UUIDWithString:(NSString*)theString {
  NSString* hex = [[theString stringByReplacingOccurrencesOfString:@"-"
                                                        withString:@""] uppercaseString];
  if ([hex length] == 32 && [hex hasPrefix:@"0000"] && [hex hasSuffix:@"00001000800000805F9B34FB"])
    hex = [hex substringWithRange:NSMakeRange(4, 4)];
  CBUUID* uuid = [[[CBUUID alloc] init] autorelease];
  uuid->data_ = [bytesFromHex(hex) copy];
  return uuid;
}
- (NSData*)data {
  return data_;
}
- (NSString*)UUIDString {
  NSMutableString* text = [NSMutableString string];
  const auto* bytes = static_cast<const unsigned char*>([data_ bytes]);
  for (NSUInteger i = 0; i < [data_ length]; ++i)
    [text appendFormat:(i == 4 || i == 6 || i == 8 || i == 10) ? @"-%02X" : @"%02X", bytes[i]];
  return text;
}
- (NSString*)description {
  return [self UUIDString];
}
- (BOOL)isEqual:(id)other {
  return [other isKindOfClass:[CBUUID class]] && [data_ isEqual:[other data]];
}
- (NSUInteger)hash {
  return [data_ hash];
}
- (id)copyWithZone:(NSZone*)zone {
  (void)zone;
  return [self retain];
}
- (void)dealloc {
  [data_ release];
  [super dealloc];
}
@end

@implementation CBAttribute
- (instancetype)initWithScript:(NSDictionary*)script {
  if ((self = [super init]))
    uuid_ = [[CBUUID UUIDWithString:[script objectForKey:@"uuid"]] retain];
  return self;
}
- (CBUUID*)UUID {
  return uuid_;
}
- (void)dealloc {
  [uuid_ release];
  [super dealloc];
}
@end

@implementation CBCharacteristic
- (CBService*)service {
  return service_;
}
- (NSData*)value {
  return value_;
}
- (void)dealloc {
  [value_ release];
  [super dealloc];
}
@end

@implementation CBService
- (CBPeripheral*)peripheral {
  return peripheral_;
}
- (NSArray<CBCharacteristic*>*)characteristics {
  return characteristics_;
}
- (void)dealloc {
  [characteristics_ release];
  [super dealloc];
}
@end

@implementation CBPeer
- (NSUUID*)identifier {
  return identifier_;
}
- (void)dealloc {
  [identifier_ release];
  [super dealloc];
}
@end

@implementation CBPeripheral
// The live peripheral of the script's identifier, or a new one; autoreleased.
+ (CBPeripheral*)peripheralOf:(NSDictionary*)script {
  NSString* identifier = [script objectForKey:@"identifier"];
  auto live = livePeripherals.find([identifier UTF8String]);
  if (live != livePeripherals.end())
    return [[live->second retain] autorelease];
  CBPeripheral* peripheral = [[[CBPeripheral alloc] init] autorelease];
  peripheral->identifier_ = [[NSUUID alloc] initWithUUIDString:identifier];
  peripheral->script_ = [script retain];
  id name = [script objectForKey:@"name"];
  peripheral->name_ = [name isKindOfClass:[NSString class]] ? [name copy] : nil;
  livePeripherals[[identifier UTF8String]] = peripheral;
  return peripheral;
}
- (void)dealloc {
  modelLog("freed %s", textOf(self));
  if (connection_ != kNone)
    modelLog("API MISUSE: Cancelling connection for unused peripheral %s", textOf(self));
  livePeripherals.erase(textOf(self));
  [script_ release];
  [name_ release];
  [services_ release];
  [super dealloc];
}
- (id<CBPeripheralDelegate>)delegate {
  return delegate_;
}
- (void)setDelegate:(id<CBPeripheralDelegate>)delegate {
  delegate_ = delegate;
}
- (NSString*)name {
  return name_;
}
- (NSArray<CBService*>*)services {
  return services_;
}
- (BOOL)connectedFor:(NSString*)call {
  called(call);
  return !misused(connection_ != kConnected, "peripheral is not connected");
}
- (void)discoverServices:(NSArray<CBUUID*>*)serviceUUIDs {
  if (![self connectedFor:[NSString stringWithFormat:@"discoverServices: %s", text(serviceUUIDs)]])
    return;
  NSArray* scripts = matching([script_ objectForKey:@"services"], serviceUUIDs);
  later(0.05, @[ self, scripts ], [self, scripts] {
    NSMutableArray* services = [NSMutableArray array];
    for (NSDictionary* script in scripts) {
      CBService* service = [[[CBService alloc] initWithScript:script] autorelease];
      service->peripheral_ = self;
      [services addObject:service];
    }
    [services_ release];
    services_ = [services retain];
    modelLog("event didDiscoverServices");
    [delegate_ peripheral:self didDiscoverServices:nil];
  });
}
- (void)discoverCharacteristics:(NSArray<CBUUID*>*)characteristicUUIDs
                     forService:(CBService*)service {
  NSString* call = [NSString stringWithFormat:@"discoverCharacteristics: %s forService: %s",
                                              text(characteristicUUIDs), text([service UUID])];
  if (![self connectedFor:call] ||
      misused([service peripheral] != self, "service of another peripheral"))
    return;
  NSDictionary* script = scriptOf([script_ objectForKey:@"services"], service);
  NSArray* scripts = matching([script objectForKey:@"characteristics"], characteristicUUIDs);
  later(0.05, @[ self, service, scripts ], [self, service, scripts] {
    NSMutableArray* characteristics = [NSMutableArray array];
    for (NSDictionary* script in scripts) {
      CBCharacteristic* characteristic =
          [[[CBCharacteristic alloc] initWithScript:script] autorelease];
      characteristic->service_ = service;
      [characteristics addObject:characteristic];
    }
    [service->characteristics_ release];
    service->characteristics_ = [characteristics retain];
    modelLog("event didDiscoverCharacteristicsForService %s", text([service UUID]));
    [delegate_ peripheral:self didDiscoverCharacteristicsForService:service error:nil];
  });
}
- (void)readValueForCharacteristic:(CBCharacteristic*)characteristic {
  NSString* call =
      [NSString stringWithFormat:@"readValueForCharacteristic: %s", text([characteristic UUID])];
  if (![self connectedFor:call] || misused([[characteristic service] peripheral] != self,
                                           "characteristic of another peripheral"))
    return;
  NSDictionary* service = scriptOf([script_ objectForKey:@"services"], [characteristic service]);
  NSDictionary* script = scriptOf([service objectForKey:@"characteristics"], characteristic);
  if ([script objectForKey:@"hang"] != nil)
    return;
  later(0.05, @[ self, characteristic, script ], [self, characteristic, script] {
    NSDictionary* failure = [script objectForKey:@"error"];
    id hex = [script objectForKey:@"value"];
    // A value is filled in before its event; an error leaves the last value in place.
    if (failure == nil) {
      [characteristic->value_ release];
      characteristic->value_ =
          [hex isKindOfClass:[NSString class]] ? [bytesFromHex(hex) retain] : nil;
    }
    modelLog("event didUpdateValueForCharacteristic %s", text([characteristic UUID]));
    [delegate_ peripheral:self
        didUpdateValueForCharacteristic:characteristic
                                  error:failure != nil ? errorFrom(failure) : nil];
  });
}
@end

@implementation CBManager
- (CBManagerState)state {
  return state_;
}
@end

@implementation CBCentralManager
- (instancetype)initWithDelegate:(id<CBCentralManagerDelegate>)delegate
                           queue:(dispatch_queue_t)queue {
  if (!(self = [super init]))
    return nil;
  modelLog("initWithDelegate:queue: %s", queue == nullptr ? "nil" : "a queue");
  std::atexit([] { modelLog("exit"); });
  delegate_ = delegate;
  NSArray* states = [scenario() objectForKey:@"states"];
  for (NSArray* change in states != nil ? states : @[ @[ @(0), @(CBManagerStatePoweredOn) ] ]) {
    const auto state = static_cast<CBManagerState>([[change objectAtIndex:1] integerValue]);
    later([[change objectAtIndex:0] doubleValue], nil, [self, state] {
      state_ = state;
      modelLog("event centralManagerDidUpdateState %ld", static_cast<long>(state));
      [delegate_ centralManagerDidUpdateState:self];
    });
  }
  return self;
}
- (BOOL)poweredOnFor:(NSString*)call {
  called(call);
  return !misused(state_ != CBManagerStatePoweredOn, "the manager is not powered on");
}
- (NSArray<CBPeripheral*>*)retrievePeripheralsWithIdentifiers:(NSArray<NSUUID*>*)identifiers {
  NSMutableArray* known = [NSMutableArray array];
  NSString* listed = [[identifiers valueForKey:@"UUIDString"] componentsJoinedByString:@", "];
  if (![self poweredOnFor:[NSString stringWithFormat:@"retrievePeripheralsWithIdentifiers: (%s)",
                                                     text(listed)]])
    return known;
  for (NSDictionary* script in [scenario() objectForKey:@"peripherals"]) {
    if ([[script objectForKey:@"known"] boolValue] &&
        [[identifiers valueForKey:@"UUIDString"]
            containsObject:[script objectForKey:@"identifier"]])
      [known addObject:[CBPeripheral peripheralOf:script]];
  }
  return known;
}
- (void)scanForPeripheralsWithServices:(NSArray<CBUUID*>*)serviceUUIDs
                               options:(NSDictionary<NSString*, id>*)options {
  if (![self
          poweredOnFor:[NSString stringWithFormat:@"scanForPeripheralsWithServices: %s options: %s",
                                                  text(serviceUUIDs), text(options)]])
    return;
  scanning_ = YES;
  for (NSDictionary* script in [scenario() objectForKey:@"peripherals"]) {
    if (NSNumber* after = [script objectForKey:@"sighted_after"]) {
      later([after doubleValue], nil, [self, script] {
        if (!scanning_)
          return;
        CBPeripheral* peripheral = [CBPeripheral peripheralOf:script];
        NSMutableDictionary* advertisement = [NSMutableDictionary dictionary];
        if (id name = [script objectForKey:@"local_name"])
          [advertisement setObject:name forKey:CBAdvertisementDataLocalNameKey];
        modelLog("event didDiscoverPeripheral %s", textOf(peripheral));
        [delegate_ centralManager:self
            didDiscoverPeripheral:peripheral
                advertisementData:advertisement
                             RSSI:@(-60)];
      });
    }
  }
}
- (void)stopScan {
  called(@"stopScan");
  scanning_ = NO;
}
- (void)connectPeripheral:(CBPeripheral*)peripheral options:(NSDictionary<NSString*, id>*)options {
  if (![self poweredOnFor:[NSString stringWithFormat:@"connectPeripheral: %s options: %s",
                                                     textOf(peripheral), text(options)]])
    return;
  peripheral->connection_ = kWanted;
  id outcome = [peripheral->script_ objectForKey:@"connect"];
  if ([outcome isEqual:@"hang"])
    return;
  NSString* identifier = [[peripheral identifier] UUIDString];
  later(0.05, @[ identifier ], [self, identifier, outcome] {
    // Not the peripheral itself: the task must not keep it alive.
    auto live = livePeripherals.find([identifier UTF8String]);
    if (live == livePeripherals.end() || live->second->connection_ != kWanted)
      return;
    CBPeripheral* peripheral = live->second;
    if ([outcome isKindOfClass:[NSDictionary class]]) {
      peripheral->connection_ = kNone;
      modelLog("event didFailToConnectPeripheral %s", textOf(peripheral));
      [delegate_ centralManager:self
          didFailToConnectPeripheral:peripheral
                               error:errorFrom(outcome)];
    } else {
      peripheral->connection_ = kConnected;
      modelLog("event didConnectPeripheral %s", textOf(peripheral));
      [delegate_ centralManager:self didConnectPeripheral:peripheral];
    }
  });
}
- (void)cancelPeripheralConnection:(CBPeripheral*)peripheral {
  called([NSString stringWithFormat:@"cancelPeripheralConnection: %s", textOf(peripheral)]);
  peripheral->connection_ = kNone;
}
@end
