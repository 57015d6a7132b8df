// The reader's event handlers driven through the scripted stack: the requests each script of
// events makes, and how the run ends.
#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/sensor_fixture.h"

namespace norvel::testing {
namespace {

const ble::Uuid kOtherId = *ble::Uuid::parse("A1B2C3D4-0000-4000-8000-00000000ABCD");
// UUIDs by their short names in the scripts and the log: S the sensor's service, B another
// service, D the detailed record, R the readings, O another characteristic.
const std::map<std::string, ble::Uuid> kNames = {
    {"SENSOR", kSensorId},
    {"OTHER", kOtherId},
    {"S", *ble::Uuid::parse("0000FCE0-0000-1000-8000-00805F9B34FB")},
    {"B", *ble::Uuid::parse("0000180F-0000-1000-8000-00805F9B34FB")},
    {"D", *ble::Uuid::parse("F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C")},
    {"R", *ble::Uuid::parse("F0CD1503-95DA-4F4B-9AC8-AA55D312AF0C")},
    {"O", *ble::Uuid::parse("00002A19-0000-1000-8000-00805F9B34FB")}};
// In the order of ble::ManagerState's values.
const std::string kStates[] = {"unknown", "resetting", "unsupported", "unauthorized", "off", "on"};

// Attributes by letters: "SB" is the service S with stack key "S0" and B with "B1".
template <class Attribute>
std::optional<std::vector<Attribute>> attributes(const std::optional<std::string>& letters) {
  if (!letters)
    return std::nullopt;
  std::vector<Attribute> list;
  for (char c : *letters)
    list.push_back({kNames.at(std::string(1, c)), c + std::to_string(list.size()), {}});
  return list;
}

// "other:NAME+LOCAL" discovers a peripheral OTHER named NAME (none without ":") that
// advertises the local name LOCAL. Without "+" it advertises a number as its local name and
// "Norvel4" under another key, neither of which counts.
void discoverOther(SensorFixture& f, const std::string& token) {
  const auto plus = std::min(token.find('+'), token.size());
  ble::AdvertisementData advertisement = {{"kCBAdvDataTxPowerLevel", std::string("Norvel4")},
                                          {ble::kAdvertisementDataLocalNameKey, std::int64_t{7}}};
  if (plus < token.size())
    advertisement = {{ble::kAdvertisementDataLocalNameKey, token.substr(plus + 1)}};
  const auto name = token[5] == ':' ? std::optional(token.substr(6, plus - 6)) : std::nullopt;
  f.central.delegate.centralManagerDidDiscoverPeripheral(f.central, f.central.add(kOtherId, name),
                                                         advertisement, -60);
}

// One event of a script: "name" or "name:argument"; a trailing "!" adds an error.
void deliver(SensorFixture& f, std::string token) {
  const auto error = token.ends_with('!') ? std::optional(ble::Error{"Timed out"}) : std::nullopt;
  if (error)
    token.pop_back();
  const auto colon = token.find(':');
  const std::string name = token.substr(0, colon);
  const auto arg =
      colon == std::string::npos ? std::nullopt : std::optional(token.substr(colon + 1));
  if (const auto state = std::ranges::find(kStates, name); state != std::end(kStates))
    return f.central.deliverState(ble::ManagerState(state - std::begin(kStates)));
  if (name == "sensor")
    return f.central.delegate.centralManagerDidDiscoverPeripheral(f.central, f.sensor, {}, -60);
  if (name.starts_with("other"))
    return discoverOther(f, token);
  if (name == "ready") {  // found by name and connected; the requests so far are forgotten
    for (const char* event : {"on", "sensor", "connected"})
      deliver(f, event);
    return f.central.log.clear();
  }
  if (name == "connected")
    return f.central.delegate.centralManagerDidConnectPeripheral(f.central, f.sensor);
  if (name == "refused")
    return f.central.delegate.centralManagerDidFailToConnectPeripheral(f.central, f.sensor, error);
  if (name == "services")
    return f.sensor.deliverServices(attributes<ble::Service>(arg), error);
  if (name == "characteristics")
    return f.sensor.deliverCharacteristics(
        {kNames.at("S"), "S0", attributes<ble::Characteristic>(arg)}, error);
  // "value:D13": 13 bytes 0x01 read from D; "value:D": no value.
  const std::string what = arg.value();
  ble::Characteristic read{kNames.at(what.substr(0, 1)), what.substr(0, 1), {}};
  if (what.size() > 1)
    read.value = ble::Bytes(std::stoul(what.substr(1)), 0x01);
  f.sensor.deliverValue(read, error);
}

// The log on one line, UUIDs by their short names.
std::string requests(const SensorFixture& f) {
  std::string text;
  for (const auto& line : f.central.log)
    text += (text.empty() ? "" : "; ") + line;
  for (const auto& [name, uuid] : kNames)
    text = std::regex_replace(text, std::regex(uuid.toString()), name);
  return text;
}

const std::string kSearch = "discoverCharacteristics [D,R] of ";
const std::string kFound = "scan any; stopScan; connect OTHER";
const std::string kBasicEnd = "0 {...\"interval\" : 300,\n  \"age\" : 0\n}\n";
const std::string kDetailed = "0 {\n  \"address\" : \"" + kSensorId.toString() +
                              "\",\n  \"name\" : \"Norvel4 Office\",...\"age\" : 257\n}\n";

// The target, the script of events, the requests made, and how the run ended: "STATUS TEXT",
// where "..." stands for any text.
const std::tuple<std::optional<std::string>, std::string, std::string, std::string> kRows[] = {
    {{}, "unauthorized", "", "2 Error: Bluetooth permission denied\n"},
    {{}, "unknown resetting unsupported off on resetting on", "scan any; scan any", ""},
    {kSensorId.toString(), "on", "retrieve [SENSOR]; connect SENSOR", ""},
    {"1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab", "on", "retrieve [SENSOR]; connect SENSOR", ""},
    {"a1b2c3d4-0000-4000-8000-00000000abcd", "on sensor other", "retrieve [OTHER]; " + kFound, ""},
    {"1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB0", "on sensor", "scan any", ""},
    {"", "on sensor", "scan any; stopScan; connect SENSOR", ""},
    {{}, "on other:Lamp+Norvel4 other:+Norvel4 other other:Nor-vel other:", "scan any", ""},
    {{}, "on other:mynorvel", kFound, ""},
    {{}, "on other:xNORVELx", kFound, ""},
    {{}, "on other+NorVel", kFound, ""},
    {{}, "connected", "discoverServices [S]", ""},
    {{}, "refused!", "", "1 Error: Failed to connect: Timed out\n"},
    {{}, "refused", "", "1 Error: Failed to connect: unknown\n"},
    {{}, "ready services", "", "1 Error: No Norvel services found\n"},
    {{}, "ready services:", "", "1 Error: No Norvel services found\n"},
    {{}, "ready services:B", "", ""},
    {{}, "ready services:SBS", kSearch + "S0; " + kSearch + "S2", ""},
    {{}, "ready services:S!", kSearch + "S0", ""},
    {{}, "ready characteristics", "", "1 Error: No Norvel characteristics found\n"},
    {{}, "ready characteristics:", "", "1 Error: No Norvel characteristics found\n"},
    {{}, "ready characteristics:ORD", "read D2", ""},
    {{}, "ready characteristics:DR", "read D0", ""},
    {{}, "ready characteristics:OR", "read R1", ""},
    {{}, "ready characteristics:O", "", ""},
    {{}, "ready characteristics:D!", "read D0", ""},
    {{}, "ready value:D13!", "", "1 Error reading characteristic: Timed out\n"},
    {{}, "ready value:D", "", "1 Error: Empty characteristic value\n"},
    {{}, "ready value:D0", "", "1 Error: Unexpected data format or length (0 bytes)\n"},
    {{}, "ready value:D12", "", "1 Error: Unexpected data format or length (12 bytes)\n"},
    {{}, "ready value:D13", "", kDetailed},
    {{}, "ready value:R5", "", "1 Error: Unexpected data format or length (5 bytes)\n"},
    {{}, "ready value:R6", "", kBasicEnd},
    {{}, "ready value:R13", "", kBasicEnd},
    {{}, "ready value:O13", "", "1 Error: Unexpected data format or length (13 bytes)\n"},
};

TEST(NorvelReaderTest, MakesTheRequestsAndEndsTheRunAsExpected) {
  for (const auto& [target, events, requested, ending] : kRows) {
    SCOPED_TRACE(target.value_or("(no target)") + ", " + events);
    SensorFixture f(target);
    std::istringstream script(events);
    for (std::string token; script >> token;)
      deliver(f, token);
    EXPECT_EQ(requests(f), requested);
    // What "..." stands for is cut out of the ending.
    std::string ended = f.runEnd.ended;
    if (const auto dots = ending.find("..."); dots != std::string::npos && ended.size() > dots)
      ended.replace(dots, ended.size() + 3 - std::min(ended.size(), ending.size()), "...");
    EXPECT_EQ(ended, ending);
  }
}

}  // namespace
}  // namespace norvel::testing
