// From a connected sensor to one pending read: service and characteristic discovery.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/sensor_fixture.h"

namespace norvel::testing {
namespace {

using ble::scripted::ScriptedCharacteristic;
using ble::scripted::ScriptedService;
using Services = std::vector<std::shared_ptr<ble::Service>>;
using Characteristics = std::vector<std::shared_ptr<ble::Characteristic>>;

const ble::Uuid kBatteryService = ble::Uuid::fromShort(0x180F);
const std::string kDiscoverCharacteristics =
    "discoverCharacteristics [" + kDetailedUuid.toString() + "," + kBasicUuid.toString() +
    "] for " + kServiceUuid.toString();
const std::string kReadDetailed = "readValue " + kDetailedUuid.toString();
const std::string kReadBasic = "readValue " + kBasicUuid.toString();
const Outcome kNoServices{1, "", "Error: No Norvel services found\n"};
const Outcome kNoCharacteristics{1, "", "Error: No Norvel characteristics found\n"};

struct DiscoveryCase {
  std::string title;
  std::function<void(SensorFixture&)> events;
  std::vector<std::string> requests;
  std::vector<Outcome> endings;
};

class DiscoveryTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryTest, MakesTheExpectedRequestsAndEnding) {
  SensorFixture f;
  f.connectByScan();
  GetParam().events(f);
  EXPECT_EQ(f.requests(), GetParam().requests);
  EXPECT_EQ(f.runEnd.endings, GetParam().endings);
}

void characteristicsOf(SensorFixture& f, Characteristics characteristics) {
  f.sensor->deliverCharacteristics(*f.service, std::move(characteristics));
}

std::shared_ptr<ScriptedCharacteristic> other() {
  return std::make_shared<ScriptedCharacteristic>(ble::Uuid::fromShort(0x2A19));
}

INSTANTIATE_TEST_SUITE_P(
    DiscoveryEvents, DiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"AbsentServices",
                      [](SensorFixture& f) { f.sensor->deliverServices(std::nullopt); },
                      {},
                      {kNoServices}},
        DiscoveryCase{"EmptyServices",
                      [](SensorFixture& f) { f.sensor->deliverServices(Services{}); },
                      {},
                      {kNoServices}},
        DiscoveryCase{"OnlyOtherServicesWaitForTheDeadline",
                      [](SensorFixture& f) {
                        f.sensor->deliverServices(
                            Services{std::make_shared<ScriptedService>(kBatteryService)});
                      },
                      {},
                      {}},
        DiscoveryCase{"ShortFormServiceMatches",
                      [](SensorFixture& f) { f.sensor->deliverServices(Services{f.service}); },
                      {kDiscoverCharacteristics},
                      {}},
        DiscoveryCase{"EveryMatchingServiceIsSearched",
                      [](SensorFixture& f) {
                        f.sensor->deliverServices(
                            Services{f.service, std::make_shared<ScriptedService>(kBatteryService),
                                     std::make_shared<ScriptedService>(kServiceUuid)});
                      },
                      {kDiscoverCharacteristics, kDiscoverCharacteristics},
                      {}},
        DiscoveryCase{"ErrorWithUsableServicesIsIgnored",
                      [](SensorFixture& f) {
                        f.sensor->deliverServices(Services{f.service}, ble::Error{"Timed out"});
                      },
                      {kDiscoverCharacteristics},
                      {}},
        DiscoveryCase{
            "AbsentCharacteristics",
            [](SensorFixture& f) { f.sensor->deliverCharacteristics(*f.service, std::nullopt); },
            {},
            {kNoCharacteristics}},
        DiscoveryCase{"EmptyCharacteristics",
                      [](SensorFixture& f) { characteristicsOf(f, {}); },
                      {},
                      {kNoCharacteristics}},
        DiscoveryCase{"DetailedWinsWhereverItStands",
                      [](SensorFixture& f) {
                        characteristicsOf(f, {other(), f.basic, f.detailed});
                      },
                      {kReadDetailed},
                      {}},
        DiscoveryCase{"BasicWhenDetailedIsMissing",
                      [](SensorFixture& f) {
                        characteristicsOf(f, {other(), f.basic});
                      },
                      {kReadBasic},
                      {}},
        DiscoveryCase{"OnlyOtherCharacteristicsWaitForTheDeadline",
                      [](SensorFixture& f) { characteristicsOf(f, {other()}); },
                      {},
                      {}},
        DiscoveryCase{"ErrorWithUsableCharacteristicsIsIgnored",
                      [](SensorFixture& f) {
                        f.sensor->deliverCharacteristics(*f.service, Characteristics{f.detailed},
                                                         ble::Error{"Timed out"});
                      },
                      {kReadDetailed},
                      {}}),
    [](const auto& info) { return info.param.title; });

}  // namespace
}  // namespace norvel::testing
