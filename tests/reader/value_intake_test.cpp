// The value event: every way it ends the run.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/sensor_fixture.h"

namespace norvel::testing {
namespace {

enum class From { detailed, basic, other };

struct ValueCase {
  std::string title;
  From from;
  std::optional<ble::Bytes> value;
  std::optional<ble::Error> error;
  Outcome expected;
};

ble::Bytes bytes(std::size_t count) {
  return ble::Bytes(count, 0x01);
}

Outcome unexpectedLength(int count) {
  return {1, "", "Error: Unexpected data format or length (" + std::to_string(count) + " bytes)\n"};
}

const std::string kWorkedExampleJson =
    "{\n"
    "  \"address\" : \"1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB\",\n"
    "  \"name\" : \"Norvel4 Office\",\n"
    "  \"co2\" : 800,\n"
    "  \"temperature\" : \"22.6 \u00B0C\",\n"
    "  \"humidity\" : \"45 %\",\n"
    "  \"pressure\" : \"1013.3 hPa\",\n"
    "  \"battery\" : \"87 %\",\n"
    "  \"status\" : \"GREEN\",\n"
    "  \"interval\" : 300,\n"
    "  \"age\" : 120\n"
    "}\n";

class ValueIntakeTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueIntakeTest, EndsTheRunOnce) {
  const ValueCase& c = GetParam();
  SensorFixture f;
  f.discoverAll();
  ble::scripted::ScriptedCharacteristic otherCharacteristic(ble::Uuid::fromShort(0x2A19));
  auto& characteristic = c.from == From::detailed ? *f.detailed
                         : c.from == From::basic  ? *f.basic
                                                  : otherCharacteristic;
  f.sensor->deliverValue(characteristic, c.value, c.error);
  ASSERT_EQ(f.runEnd.endings.size(), 1u);
  EXPECT_EQ(f.runEnd.endings.front(), c.expected);
  EXPECT_TRUE(f.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    ValueIntake, ValueIntakeTest,
    ::testing::Values(
        ValueCase{"WorkedExample",
                  From::detailed,
                  kWorkedExample,
                  std::nullopt,
                  {0, kWorkedExampleJson, ""}},
        ValueCase{"ErrorWinsOverAValue",
                  From::detailed,
                  kWorkedExample,
                  ble::Error{"Operation failed with ATT error: 0x0e"},
                  {1, "", "Error reading characteristic: Operation failed with ATT error: 0x0e\n"}},
        ValueCase{"ErrorWithEmptyDescription",
                  From::detailed,
                  std::nullopt,
                  ble::Error{""},
                  {1, "", "Error reading characteristic: \n"}},
        ValueCase{"AbsentValue",
                  From::detailed,
                  std::nullopt,
                  std::nullopt,
                  {1, "", "Error: Empty characteristic value\n"}},
        ValueCase{"ZeroBytesArePresent", From::detailed, ble::Bytes{}, std::nullopt,
                  unexpectedLength(0)},
        ValueCase{"OneByte", From::basic, bytes(1), std::nullopt, unexpectedLength(1)},
        ValueCase{"DetailedTwelveBytes", From::detailed, bytes(12), std::nullopt,
                  unexpectedLength(12)},
        ValueCase{"BasicFiveBytes", From::basic, bytes(5), std::nullopt, unexpectedLength(5)},
        ValueCase{"OtherCharacteristicWhateverItsLength", From::other, kWorkedExample, std::nullopt,
                  unexpectedLength(13)}),
    [](const auto& info) { return info.param.title; });

// At the boundaries the value is decoded: the run succeeds with the record of its kind.
TEST(ValueIntakeBoundaryTest, ShortestUsableValuesAreDecoded) {
  for (auto [from, count, interval] :
       {std::tuple{From::detailed, 13, "257"}, std::tuple{From::basic, 6, "300"}}) {
    SensorFixture f;
    f.discoverAll();
    f.sensor->deliverValue(from == From::detailed ? *f.detailed : *f.basic, bytes(count));
    ASSERT_EQ(f.runEnd.endings.size(), 1u);
    EXPECT_EQ(f.runEnd.endings[0].status, 0);
    EXPECT_NE(f.runEnd.endings[0].out.find(std::string("\"interval\" : ") + interval),
              std::string::npos)
        << f.runEnd.endings[0].out;
  }
}

}  // namespace
}  // namespace norvel::testing
