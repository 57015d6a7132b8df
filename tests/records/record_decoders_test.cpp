#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/basic_record.h"
#include "records/detailed_record.h"
#include "records/record_conversions.h"

namespace norvel::records {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<SensorRecord::Entry>;

const Bytes kWorkedExample = {0x20, 0x03, 0xC3, 0x01, 0x95, 0x27, 0x2D,
                              0x57, 0x01, 0x2C, 0x01, 0x78, 0x00};
constexpr const char* kAddress = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";

PeripheralIdentity peripheral(std::optional<std::string> name = "Norvel4 1234") {
  return {*ble::Uuid::parse("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), std::move(name)};
}

Entries entries(std::string name, std::int64_t co2, std::string temperature, std::string humidity,
                std::string pressure, std::string battery, std::string status,
                std::int64_t interval, std::int64_t age) {
  return {{"address", kAddress},  {"name", name},
          {"co2", co2},           {"temperature", temperature},
          {"humidity", humidity}, {"pressure", pressure},
          {"battery", battery},   {"status", status},
          {"interval", interval}, {"age", age}};
}

TEST(DetailedRecord, DecodesAllTenEntriesInOrderAndIgnoresTrailingBytes) {
  struct Row {
    Bytes bytes;
    Entries expected;
  };
  Bytes longer = kWorkedExample;
  longer.insert(longer.end(), {0xFF, 0xFF, 0xFF});
  const Row rows[] = {
      {kWorkedExample,
       entries("Norvel4 1234", 800, "22.6 °C", "45 %", "1013.3 hPa", "87 %", "GREEN", 300, 120)},
      {longer,
       entries("Norvel4 1234", 800, "22.6 °C", "45 %", "1013.3 hPa", "87 %", "GREEN", 300, 120)},
      {Bytes(13, 0xFF), entries("Norvel4 1234", 65535, "3276.8 °C", "255 %", "6553.5 hPa", "255 %",
                                "RED", 65535, 65535)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decodeDetailedRecord(row.bytes, peripheral()).entries(), row.expected);
  }
}

TEST(DetailedRecord, MapsStatusCodes) {
  const std::pair<std::uint8_t, std::string> rows[] = {
      {1, "GREEN"}, {2, "YELLOW"}, {0, "RED"}, {3, "RED"}, {255, "RED"}};
  for (const auto& [code, text] : rows) {
    Bytes bytes = kWorkedExample;
    bytes[8] = code;
    EXPECT_EQ(*decodeDetailedRecord(bytes, peripheral()).find("status"), RecordValue(text))
        << int{code};
  }
}

TEST(DetailedRecord, NameFallsBackOnlyWhenAbsent) {
  const std::pair<std::optional<std::string>, std::string> rows[] = {
      {std::nullopt, "Norvel4"}, {"", ""}, {"Kitchen", "Kitchen"}};
  for (const auto& [name, expected] : rows) {
    EXPECT_EQ(*decodeDetailedRecord(kWorkedExample, peripheral(name)).find("name"),
              RecordValue(expected));
  }
}

TEST(RecordConversions, FormatsOneDecimalWithTiesToEven) {
  const std::pair<std::uint16_t, std::string> temperatures[] = {
      {0, "0.0 °C"}, {451, "22.6 °C"}, {455, "22.8 °C"},     {5, "0.2 °C"},
      {3, "0.1 °C"}, {15, "0.8 °C"},   {65516, "3275.8 °C"}, {65535, "3276.8 °C"}};
  for (const auto& [raw, text] : temperatures)
    EXPECT_EQ(temperatureText(raw), text) << raw;
  const std::pair<std::uint16_t, std::string> pressures[] = {
      {0, "0.0 hPa"}, {10133, "1013.3 hPa"}, {65535, "6553.5 hPa"}};
  for (const auto& [raw, text] : pressures)
    EXPECT_EQ(pressureText(raw), text) << raw;
}

Bytes prefix(std::size_t count) {
  return Bytes(kWorkedExample.begin(), kWorkedExample.begin() + count);
}

Bytes withByte(Bytes bytes, std::size_t offset, std::uint8_t value) {
  bytes[offset] = value;
  return bytes;
}

TEST(BasicRecord, ReadsOptionalBytesOnlyWhenPresentAndNeverIntervalOrAge) {
  struct Row {
    Bytes bytes;
    const char* humidity;
    const char* battery;
    const char* status;
  };
  const Row rows[] = {
      {prefix(6), "0 %", "0 %", "GREEN"},
      {prefix(7), "45 %", "0 %", "GREEN"},
      {prefix(8), "45 %", "87 %", "GREEN"},
      {prefix(9), "45 %", "87 %", "GREEN"},
      {withByte(prefix(9), 8, 2), "45 %", "87 %", "YELLOW"},
      {withByte(prefix(9), 8, 0), "45 %", "87 %", "RED"},
      {withByte(withByte(kWorkedExample, 10, 0x40), 12, 0x40), "45 %", "87 %", "GREEN"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decodeBasicRecord(row.bytes, peripheral(std::nullopt)).entries(),
              entries("Norvel4", 800, "22.6 °C", row.humidity, "1013.3 hPa", row.battery,
                      row.status, 300, 0))
        << row.bytes.size() << " bytes";
  }
}

}  // namespace
}  // namespace norvel::records
