// Adapter state, lookup of the sensor and connection, driven through the scripted stack.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/sensor_fixture.h"

namespace norvel::testing {
namespace {

using ble::ManagerState;

const std::string kSensorId = kSensorIdentifier.toString();
const std::string kLowerSensorId = "1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab";
const std::string kScan = "scan services=any allowDuplicates=false";
const std::string kRetrieve = "retrievePeripherals [" + kSensorId + "]";
const std::string kStopScan = "stopScan";
const std::string kSetDelegate = "setDelegate " + kSensorId;
const std::string kConnect = "connect " + kSensorId;
const std::vector<std::string> kScanAndConnect = {kScan, kStopScan, kSetDelegate, kConnect};

enum class Event {
  unknown,
  resetting,
  unsupported,
  poweredOff,
  poweredOn,
  unauthorized,
  sensorSeen,            // the fixture's sensor, named "Norvel4 Office"
  norvelStrangerSeen,    // another identifier, named "Norvel4 Bedroom"
  lampStrangerSeen,      // another identifier, named "Kitchen lamp"
  lampWithSensorIdSeen,  // the sensor's identifier, named "Kitchen lamp"
  connected,
  connectFailed,
  connectFailedWithoutError,
};

void deliver(SensorFixture& f, Event event) {
  auto peripheral = [&f](const ble::Uuid& identifier, const char* name) {
    return std::make_shared<ble::scripted::ScriptedPeripheral>(f.bluetooth.log(), identifier, name);
  };
  auto& central = f.central();
  switch (event) {
    case Event::unknown:
      return central.deliverState(ManagerState::unknown);
    case Event::resetting:
      return central.deliverState(ManagerState::resetting);
    case Event::unsupported:
      return central.deliverState(ManagerState::unsupported);
    case Event::poweredOff:
      return central.deliverState(ManagerState::poweredOff);
    case Event::poweredOn:
      return central.deliverState(ManagerState::poweredOn);
    case Event::unauthorized:
      return central.deliverState(ManagerState::unauthorized);
    case Event::sensorSeen:
      return central.deliverDiscovery(f.sensor);
    case Event::norvelStrangerSeen:
      return central.deliverDiscovery(peripheral(kOtherIdentifier, "Norvel4 Bedroom"));
    case Event::lampStrangerSeen:
      return central.deliverDiscovery(peripheral(kOtherIdentifier, "Kitchen lamp"));
    case Event::lampWithSensorIdSeen:
      return central.deliverDiscovery(peripheral(kSensorIdentifier, "Kitchen lamp"));
    case Event::connected:
      return central.deliverConnected(*f.sensor);
    case Event::connectFailed:
      return central.deliverConnectFailure(*f.sensor, ble::Error{"le-connection-abort-by-local"});
    case Event::connectFailedWithoutError:
      return central.deliverConnectFailure(*f.sensor, std::nullopt);
  }
}

struct LookupCase {
  std::string title;
  std::optional<std::string> target;
  bool sensorKnown;  // whether the stack already knows the sensor, for retrieval
  std::vector<Event> events;
  std::vector<std::string> requests;
  std::vector<Outcome> endings;
};

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, MakesTheExpectedRequestsAndEnding) {
  const LookupCase& c = GetParam();
  SensorFixture f(c.target);
  if (c.sensorKnown)
    f.central().addKnownPeripheral(f.sensor);
  for (Event event : c.events)
    deliver(f, event);
  EXPECT_EQ(f.requests(), c.requests);
  EXPECT_EQ(f.runEnd.endings, c.endings);
}

using enum Event;
INSTANTIATE_TEST_SUITE_P(
    CentralEvents, LookupTest,
    ::testing::Values(
        LookupCase{"Unauthorized",
                   std::nullopt,
                   false,
                   {unauthorized},
                   {},
                   {{2, "", "Error: Bluetooth permission denied\n"}}},
        LookupCase{"UnusableStatesWait",
                   std::nullopt,
                   false,
                   {unknown, resetting, unsupported, poweredOff},
                   {},
                   {}},
        LookupCase{"PoweredOffThenOn", std::nullopt, false, {poweredOff, poweredOn}, {kScan}, {}},
        LookupCase{"RepeatedPowerOn",
                   std::nullopt,
                   false,
                   {poweredOn, resetting, poweredOn},
                   {kScan, kScan},
                   {}},
        LookupCase{"KnownIdentifierWithoutScan",
                   kSensorId,
                   true,
                   {poweredOn},
                   {kRetrieve, kSetDelegate, kConnect},
                   {}},
        LookupCase{"KnownLowerCaseIdentifier",
                   kLowerSensorId,
                   true,
                   {poweredOn},
                   {kRetrieve, kSetDelegate, kConnect},
                   {}},
        LookupCase{"UnknownIdentifierScansByIdentifierOnly",
                   kSensorId,
                   false,
                   {poweredOn, norvelStrangerSeen, lampWithSensorIdSeen},
                   {kRetrieve, kScan, kStopScan, kSetDelegate, kConnect},
                   {}},
        LookupCase{"UnparsableIdentifierIgnoresNames",
                   "kitchen",
                   false,
                   {poweredOn, sensorSeen},
                   {kScan},
                   {}},
        LookupCase{
            "EmptyIdentifierScansByName", "", false, {poweredOn, sensorSeen}, kScanAndConnect, {}},
        LookupCase{"FirstQualifyingPeripheralWins",
                   std::nullopt,
                   false,
                   {poweredOn, lampStrangerSeen, sensorSeen},
                   kScanAndConnect,
                   {}},
        LookupCase{"ConnectedDiscoversTheServiceOnly",
                   std::nullopt,
                   false,
                   {connected},
                   {"discoverServices " + kSensorId + " [" + kServiceUuid.toString() + "]"},
                   {}},
        LookupCase{"ConnectFailure",
                   std::nullopt,
                   false,
                   {connectFailed},
                   {},
                   {{1, "", "Error: Failed to connect: le-connection-abort-by-local\n"}}},
        LookupCase{"ConnectFailureWithoutError",
                   std::nullopt,
                   false,
                   {connectFailedWithoutError},
                   {},
                   {{1, "", "Error: Failed to connect: unknown\n"}}}),
    [](const auto& info) { return info.param.title; });

TEST(NorvelReaderTest, KeepsTheChosenPeripheralAndTheIdentifierAsGiven) {
  SensorFixture f(kLowerSensorId);
  ASSERT_NE(f.reader.central(), nullptr);
  EXPECT_EQ(f.reader.targetPeripheral(), nullptr);
  EXPECT_EQ(f.reader.targetUUIDString(), kLowerSensorId);
  deliver(f, poweredOn);
  deliver(f, sensorSeen);
  EXPECT_EQ(f.reader.targetPeripheral(), f.sensor);
  EXPECT_EQ(SensorFixture(std::string()).reader.targetUUIDString(), std::string());
}

}  // namespace
}  // namespace norvel::testing
