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
std::map<CBPeripheral*, bool> connected;

const char* text(id object) {
  return object == nil ? "nil" : [[object description] UTF8String];
}

// Runs the task on the main queue after the delay, in its own autorelease pool.
void later(double seconds, std::function<void()> task) {
  auto* item = new std::function<void()>(std::move(task));
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(seconds * 1e9)),
                   dispatch_get_main_queue(), item, [](void* context) {
                     auto* work = static_cast<std::function<void()>*>(context);
                     @autoreleasepool {
                       (*work)();
                     }
                     delete work;
                   });
}

// The scenario may have the model send itself a signal once the backend has made a call.
void signalAfter(const char* call) {
  NSDictionary* signal = [scenario() objectForKey:@"signal"];
  if (signal != nil && [[signal objectForKey:@"after"] isEqual:@(call)]) {
    const int number = [[signal objectForKey:@"number"] intValue];
    later(0, [number] { kill(getpid(), number); });
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
    const unsigned char byte = std::strtoul([[hex substringWithRange:NSMakeRange(i, 2)] UTF8String],
                                            nullptr, 16);
    [bytes appendBytes:&byte length:1];
  }
  return bytes;
}

// The scripts under `key` whose UUID is in the filter (nil: all).
NSArray* matching(NSDictionary* script, NSString* key, NSArray<CBUUID*>* filter) {
  NSMutableArray* found = [NSMutableArray array];
  for (NSDictionary* item in [script objectForKey:key]) {
    if (filter == nil || [filter containsObject:[CBUUID UUIDWithString:[item objectForKey:@"uuid"]]])
      [found addObject:item];
  }
  return found;
}

}  // namespace

@implementation CBUUID
+ (CBUUID*)UUIDWithString:(NSString*)theString {
  NSString* hex = [[theString stringByReplacingOccurrencesOfString:@"-" withString:@""] uppercaseString];
  if ([hex length] == 32 && [hex hasPrefix:@"0000"] &&
      [hex hasSuffix:@"00001000800000805F9B34FB"])
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
  for (NSUInteger i = 0; i < [data_ length]; ++i) {
    [text appendFormat:@"%02X", bytes[i]];
    if ([data_ length] == 16 && (i == 3 || i == 5 || i == 7 || i == 9))
      [text appendString:@"-"];
  }
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
- (CBUUID*)UUID {
  return uuid_;
}
- (void)setModelUUID:(NSString*)text {
  uuid_ = [[CBUUID UUIDWithString:text] retain];
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
- (void)setModelService:(CBService*)service value:(NSData*)value {
  service_ = service;
  [value_ autorelease];
  value_ = [value copy];
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
- (void)setModelPeripheral:(CBPeripheral*)peripheral characteristics:(NSArray*)characteristics {
  peripheral_ = peripheral;
  [characteristics_ autorelease];
  characteristics_ = [characteristics retain];
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
- (void)setModelIdentifier:(NSString*)text {
  identifier_ = [[NSUUID alloc] initWithUUIDString:text];
}
- (void)dealloc {
  [identifier_ release];
  [super dealloc];
}
@end

@implementation CBPeripheral
// The live peripheral of the script's identifier, or a new one, autoreleased.
+ (CBPeripheral*)modelPeripheral:(NSDictionary*)script {
  const std::string identifier = [[script objectForKey:@"identifier"] UTF8String];
  if (livePeripherals.count(identifier) != 0)
    return [[livePeripherals[identifier] retain] autorelease];
  CBPeripheral* peripheral = [[[CBPeripheral alloc] init] autorelease];
  [peripheral setModelIdentifier:[script objectForKey:@"identifier"]];
  peripheral->script_ = [script retain];
  id name = [script objectForKey:@"name"];
  peripheral->name_ = [name isKindOfClass:[NSString class]] ? [name copy] : nil;
  livePeripherals[identifier] = peripheral;
  return peripheral;
}
- (void)dealloc {
  modelLog("freed %s", text([[self identifier] UUIDString]));
  if (connectionWanted_)
    modelLog("API MISUSE: Cancelling connection for unused peripheral %s", text([[self identifier] UUIDString]));
  livePeripherals.erase([[[self identifier] UUIDString] UTF8String]);
  connected.erase(self);
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
- (void)modelConnection:(BOOL)wanted {
  connectionWanted_ = wanted;
  connected[self] = false;
}
- (BOOL)modelScheduled:(const char*)call {
  modelLog("%s", call);
  if (misused(!connected[self], "peripheral is not connected"))
    return NO;
  signalAfter(strchr(call, ' ') != nullptr ? std::string(call, strchr(call, ' ')).c_str() : call);
  return YES;
}
- (void)discoverServices:(NSArray<CBUUID*>*)serviceUUIDs {
  if (![self modelScheduled:[[NSString stringWithFormat:@"discoverServices: %s", text(serviceUUIDs)]
                                UTF8String]])
    return;
  NSArray* scripts = [matching(script_, @"services", serviceUUIDs) retain];
  CBPeripheral* peripheral = [self retain];
  later(0.05, [peripheral, scripts] {
    NSMutableArray* services = [NSMutableArray array];
    for (NSDictionary* script in scripts) {
      CBService* service = [[[CBService alloc] init] autorelease];
      [service setModelUUID:[script objectForKey:@"uuid"]];
      [service setModelPeripheral:peripheral characteristics:nil];
      [services addObject:service];
    }
    [peripheral->services_ autorelease];
    peripheral->services_ = [services retain];
    modelLog("event didDiscoverServices");
    [peripheral->delegate_ peripheral:peripheral didDiscoverServices:nil];
    [scripts release];
    [peripheral release];
  });
}
- (void)discoverCharacteristics:(NSArray<CBUUID*>*)characteristicUUIDs
                     forService:(CBService*)service {
  NSString* call = [NSString stringWithFormat:@"discoverCharacteristics: %s forService: %s",
                                              text(characteristicUUIDs), text([service UUID])];
  if (![self modelScheduled:[call UTF8String]] ||
      misused([service peripheral] != self, "service of another peripheral"))
    return;
  NSDictionary* script = nil;
  for (NSDictionary* candidate in [script_ objectForKey:@"services"]) {
    if ([[CBUUID UUIDWithString:[candidate objectForKey:@"uuid"]] isEqual:[service UUID]])
      script = candidate;
  }
  NSArray* scripts = [matching(script, @"characteristics", characteristicUUIDs) retain];
  CBPeripheral* peripheral = [self retain];
  [service retain];
  later(0.05, [peripheral, service, scripts] {
    NSMutableArray* characteristics = [NSMutableArray array];
    for (NSDictionary* script in scripts) {
      CBCharacteristic* characteristic = [[[CBCharacteristic alloc] init] autorelease];
      [characteristic setModelUUID:[script objectForKey:@"uuid"]];
      [characteristic setModelService:service value:nil];
      [characteristics addObject:characteristic];
    }
    [service setModelPeripheral:peripheral characteristics:characteristics];
    modelLog("event didDiscoverCharacteristicsForService %s", text([service UUID]));
    [peripheral->delegate_ peripheral:peripheral
        didDiscoverCharacteristicsForService:service
                                       error:nil];
    [scripts release];
    [service release];
    [peripheral release];
  });
}
- (void)readValueForCharacteristic:(CBCharacteristic*)characteristic {
  NSString* call = [NSString
      stringWithFormat:@"readValueForCharacteristic: %s", text([characteristic UUID])];
  if (![self modelScheduled:[call UTF8String]] ||
      misused([[characteristic service] peripheral] != self, "characteristic of another peripheral"))
    return;
  NSDictionary* script = nil;
  for (NSDictionary* service in [script_ objectForKey:@"services"]) {
    for (NSDictionary* candidate in [service objectForKey:@"characteristics"]) {
      if ([[CBUUID UUIDWithString:[candidate objectForKey:@"uuid"]] isEqual:[characteristic UUID]])
        script = candidate;
    }
  }
  if ([script objectForKey:@"hang"] != nil)
    return;
  CBPeripheral* peripheral = [self retain];
  [characteristic retain];
  [script retain];
  later(0.05, [peripheral, characteristic, script] {
    NSDictionary* failure = [script objectForKey:@"error"];
    id hex = [script objectForKey:@"value"];
    // A value is filled in before its event; an error leaves the last value in place.
    if (failure == nil)
      [characteristic setModelService:[characteristic service]
                                value:[hex isKindOfClass:[NSString class]] ? bytesFromHex(hex) : nil];
    modelLog("event didUpdateValueForCharacteristic %s", text([characteristic UUID]));
    [peripheral->delegate_ peripheral:peripheral
        didUpdateValueForCharacteristic:characteristic
                                  error:failure != nil ? errorFrom(failure) : nil];
    [script release];
    [characteristic release];
    [peripheral release];
  });
}
@end

@implementation CBManager
- (CBManagerState)state {
  return state_;
}
- (void)setModelState:(CBManagerState)state {
  state_ = state;
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
    later([[change objectAtIndex:0] doubleValue], [self, state] {
      [self setModelState:state];
      modelLog("event centralManagerDidUpdateState %ld", static_cast<long>(state));
      [delegate_ centralManagerDidUpdateState:self];
    });
  }
  return self;
}
- (BOOL)modelPoweredOn:(NSString*)call {
  modelLog("%s", [call UTF8String]);
  return !misused([self state] != CBManagerStatePoweredOn, "the manager is not powered on");
}
- (NSArray<CBPeripheral*>*)retrievePeripheralsWithIdentifiers:(NSArray<NSUUID*>*)identifiers {
  NSMutableArray* known = [NSMutableArray array];
  NSString* listed = [[identifiers valueForKey:@"UUIDString"] componentsJoinedByString:@", "];
  if (![self modelPoweredOn:[NSString stringWithFormat:@"retrievePeripheralsWithIdentifiers: (%s)",
                                                       text(listed)]])
    return known;
  for (NSDictionary* script in [scenario() objectForKey:@"peripherals"]) {
    NSUUID* identifier = [[[NSUUID alloc] initWithUUIDString:[script objectForKey:@"identifier"]]
        autorelease];
    if ([[script objectForKey:@"known"] boolValue] && [identifiers containsObject:identifier])
      [known addObject:[CBPeripheral modelPeripheral:script]];
  }
  return known;
}
- (void)scanForPeripheralsWithServices:(NSArray<CBUUID*>*)serviceUUIDs
                               options:(NSDictionary<NSString*, id>*)options {
  if (![self modelPoweredOn:[NSString stringWithFormat:@"scanForPeripheralsWithServices: %s options: %s",
                                                       text(serviceUUIDs), text(options)]])
    return;
  scanning_ = YES;
  for (NSDictionary* script in [scenario() objectForKey:@"peripherals"]) {
    NSNumber* after = [script objectForKey:@"sighted_after"];
    if (after == nil)
      continue;
    [script retain];
    later([after doubleValue], [self, script] {
      if (scanning_) {
        CBPeripheral* peripheral = [CBPeripheral modelPeripheral:script];
        NSMutableDictionary* advertisement = [NSMutableDictionary dictionary];
        if ([script objectForKey:@"local_name"] != nil)
          [advertisement setObject:[script objectForKey:@"local_name"]
                            forKey:CBAdvertisementDataLocalNameKey];
        modelLog("event didDiscoverPeripheral %s", text([[peripheral identifier] UUIDString]));
        [delegate_ centralManager:self
            didDiscoverPeripheral:peripheral
                advertisementData:advertisement
                             RSSI:@(-60)];
      }
      [script release];
    });
  }
}
- (void)stopScan {
  modelLog("stopScan");
  scanning_ = NO;
}
- (void)connectPeripheral:(CBPeripheral*)peripheral options:(NSDictionary<NSString*, id>*)options {
  if (![self modelPoweredOn:[NSString stringWithFormat:@"connectPeripheral: %s options: %s",
                                                       text([[peripheral identifier] UUIDString]), text(options)]])
    return;
  [peripheral modelConnection:YES];
  signalAfter("connectPeripheral:");
  id outcome = [peripheral->script_ objectForKey:@"connect"];
  if ([outcome isEqual:@"hang"])
    return;
  NSString* identifier = [[[peripheral identifier] UUIDString] retain];
  [outcome retain];
  later(0.05, [self, identifier, outcome] {
    auto live = livePeripherals.find([identifier UTF8String]);
    if (live != livePeripherals.end() && live->second->connectionWanted_) {
      CBPeripheral* peripheral = live->second;
      if ([outcome isKindOfClass:[NSDictionary class]]) {
        [peripheral modelConnection:NO];
        modelLog("event didFailToConnectPeripheral %s", text(identifier));
        [delegate_ centralManager:self didFailToConnectPeripheral:peripheral error:errorFrom(outcome)];
      } else {
        connected[peripheral] = true;
        modelLog("event didConnectPeripheral %s", text(identifier));
        [delegate_ centralManager:self didConnectPeripheral:peripheral];
      }
    }
    [outcome release];
    [identifier release];
  });
}
- (void)cancelPeripheralConnection:(CBPeripheral*)peripheral {
  modelLog("cancelPeripheralConnection: %s", text([[peripheral identifier] UUIDString]));
  [peripheral modelConnection:NO];
}
@end
