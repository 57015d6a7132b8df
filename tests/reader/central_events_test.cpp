// Adapter state, lookup of the sensor and connection, driven through the scripted stack.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/sensor_fixture.h"

namespace norvel::testing {
namespace {

using ble::ManagerState;

const std::string kSensorId = kSensorIdentifier.toString();
const std::string kScan = "scan services=any allowDuplicates=false";
const std::string kRetrieveSensor = "retrievePeripherals [" + kSensorId + "]";
const std::string kStopScan = "stopScan";
const std::string kSetDelegate = "setDelegate " + kSensorId;
const std::string kConnect = "connect " + kSensorId;

struct LookupCase {
  std::string title;
  std::optional<std::string> target;
  std::function<void(SensorFixture&)> events;
  std::vector<std::string> requests;
  std::vector<Outcome> endings;
};

void powerOn(SensorFixture& f) {
  f.central().deliverState(ManagerState::poweredOn);
}

std::shared_ptr<ble::scripted::ScriptedPeripheral> stranger(SensorFixture& f,
                                                            std::optional<std::string> name) {
  return std::make_shared<ble::scripted::ScriptedPeripheral>(f.bluetooth.log(), kOtherIdentifier,
                                                             std::move(name));
}

class LookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupTest, MakesTheExpectedRequestsAndEnding) {
  const LookupCase& c = GetParam();
  SensorFixture f(c.target);
  c.events(f);
  EXPECT_EQ(f.requests(), c.requests);
  EXPECT_EQ(f.runEnd.endings, c.endings);
}

INSTANTIATE_TEST_SUITE_P(
    CentralEvents, LookupTest,
    ::testing::Values(
        LookupCase{"UnauthorizedEndsWithStatus2",
                   std::nullopt,
                   [](SensorFixture& f) { f.central().deliverState(ManagerState::unauthorized); },
                   {},
                   {{2, "", "Error: Bluetooth permission denied\n"}}},
        LookupCase{"UnusableStatesWaitSilently",
                   std::nullopt,
                   [](SensorFixture& f) {
                     for (auto state : {ManagerState::unknown, ManagerState::resetting,
                                        ManagerState::unsupported, ManagerState::poweredOff}) {
                       f.central().deliverState(state);
                     }
                   },
                   {},
                   {}},
        LookupCase{"PoweredOffThenOnScans",
                   std::nullopt,
                   [](SensorFixture& f) {
                     f.central().deliverState(ManagerState::poweredOff);
                     powerOn(f);
                   },
                   {kScan},
                   {}},
        LookupCase{"RepeatedPowerOnRepeatsTheScan",
                   std::nullopt,
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverState(ManagerState::resetting);
                     powerOn(f);
                   },
                   {kScan, kScan},
                   {}},
        LookupCase{"KnownIdentifierConnectsWithoutScanning",
                   kSensorId,
                   [](SensorFixture& f) {
                     f.central().addKnownPeripheral(f.sensor);
                     powerOn(f);
                   },
                   {kRetrieveSensor, kSetDelegate, kConnect},
                   {}},
        LookupCase{"LowerCaseIdentifierIsRetrievedToo",
                   "1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab",
                   [](SensorFixture& f) {
                     f.central().addKnownPeripheral(f.sensor);
                     powerOn(f);
                   },
                   {kRetrieveSensor, kSetDelegate, kConnect},
                   {}},
        LookupCase{"KnownPeripheralIsConnectedWhateverItsName",
                   kSensorId,
                   [](SensorFixture& f) {
                     f.central().addKnownPeripheral(
                         std::make_shared<ble::scripted::ScriptedPeripheral>(
                             f.bluetooth.log(), kSensorIdentifier, "Kitchen lamp"));
                     powerOn(f);
                   },
                   {kRetrieveSensor, kSetDelegate, kConnect},
                   {}},
        LookupCase{"UnknownIdentifierFallsBackToScanByIdentifierOnly",
                   kSensorId,
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverDiscovery(stranger(f, "Norvel4 Bedroom"));
                     f.central().deliverDiscovery(
                         std::make_shared<ble::scripted::ScriptedPeripheral>(
                             f.bluetooth.log(), kSensorIdentifier, "Kitchen lamp"));
                   },
                   {kRetrieveSensor, kScan, kStopScan, kSetDelegate, kConnect},
                   {}},
        LookupCase{"LowerCaseIdentifierMatchesWhileScanning",
                   "1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab",
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverDiscovery(f.sensor);
                   },
                   {kRetrieveSensor, kScan, kStopScan, kSetDelegate, kConnect},
                   {}},
        LookupCase{"UnparsableIdentifierScansAndIgnoresNames",
                   "kitchen",
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverDiscovery(f.sensor);
                   },
                   {kScan},
                   {}},
        LookupCase{"EmptyIdentifierScansByName",
                   "",
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverDiscovery(f.sensor);
                   },
                   {kScan, kStopScan, kSetDelegate, kConnect},
                   {}},
        LookupCase{"FirstQualifyingPeripheralWins",
                   std::nullopt,
                   [](SensorFixture& f) {
                     powerOn(f);
                     f.central().deliverDiscovery(stranger(f, "Kitchen lamp"));
                     f.central().deliverDiscovery(f.sensor);
                   },
                   {kScan, kStopScan, kSetDelegate, kConnect},
                   {}},
        LookupCase{"ConnectedRequestsTheSensorServiceOnly",
                   std::nullopt,
                   [](SensorFixture& f) { f.central().deliverConnected(*f.sensor); },
                   {"discoverServices " + kSensorId + " [" + kServiceUuid.toString() + "]"},
                   {}},
        LookupCase{"ConnectFailureWithError",
                   std::nullopt,
                   [](SensorFixture& f) {
                     f.central().deliverConnectFailure(*f.sensor,
                                                       ble::Error{"le-connection-abort-by-local"});
                   },
                   {},
                   {{1, "", "Error: Failed to connect: le-connection-abort-by-local\n"}}},
        LookupCase{
            "ConnectFailureWithoutError",
            std::nullopt,
            [](SensorFixture& f) { f.central().deliverConnectFailure(*f.sensor, std::nullopt); },
            {},
            {{1, "", "Error: Failed to connect: unknown\n"}}}),
    [](const auto& info) { return info.param.title; });

TEST(NorvelReaderTest, KeepsTheChosenPeripheralAndTheIdentifierAsGiven) {
  SensorFixture f("1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab");
  ASSERT_NE(f.reader.central(), nullptr);
  EXPECT_EQ(f.reader.targetPeripheral(), nullptr);
  EXPECT_EQ(f.reader.targetUUIDString(), "1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab");
  f.central().deliverState(ManagerState::poweredOn);
  f.central().deliverDiscovery(f.sensor);
  EXPECT_EQ(f.reader.targetPeripheral(), f.sensor);
  EXPECT_EQ(SensorFixture(std::string()).reader.targetUUIDString(), std::string());
}

}  // namespace
}  // namespace norvel::testing
