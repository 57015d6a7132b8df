// The record decoders and the JSON document they are printed as.
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "records/json_document.h"
#include "records/reading.h"

namespace norvel::records {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The worked example, then three bytes past any record.
const Bytes kBytes = {0x20, 0x03, 0xC3, 0x01, 0x95, 0x27, 0x2D, 0x57,
                      0x01, 0x2C, 0x01, 0x78, 0x00, 0xFF, 0xFF, 0xFF};

// The first `count` bytes, the status byte (when there is one) set to `status`.
Bytes prefix(std::size_t count, std::uint8_t status = 1) {
  Bytes bytes(kBytes.begin(), kBytes.begin() + count);
  if (count > 8)
    bytes[8] = status;
  return bytes;
}

// The document's member values in order, unquoted, each followed by "|".
std::string values(const std::string& document) {
  static const std::regex kMember(R"re(  "\w+" : "?(.*?)"?,?\n)re");
  return std::regex_replace(document.substr(2, document.size() - 3), kMember, "$1|");
}

TEST(RecordsTest, DecodersReadEveryFieldOfTheirKind) {
  const std::tuple<bool, Bytes, std::optional<std::string>, std::string> rows[] = {
      {true, prefix(13), "N 1", "ID|N 1|800|22.6 °C|45 %|1013.3 hPa|87 %|GREEN|300|120|"},
      {true, prefix(16, 2), {}, "ID|Norvel4|800|22.6 °C|45 %|1013.3 hPa|87 %|YELLOW|300|120|"},
      {true, Bytes(13, 0xFF), "", "ID||65535|3276.8 °C|255 %|6553.5 hPa|255 %|RED|65535|65535|"},
      {false, prefix(6), {}, "ID|Norvel4|800|22.6 °C|0 %|1013.3 hPa|0 %|GREEN|300|0|"},
      {false, prefix(7), {}, "ID|Norvel4|800|22.6 °C|45 %|1013.3 hPa|0 %|GREEN|300|0|"},
      {false, prefix(8), {}, "ID|Norvel4|800|22.6 °C|45 %|1013.3 hPa|87 %|GREEN|300|0|"},
      {false, prefix(9, 0), {}, "ID|Norvel4|800|22.6 °C|45 %|1013.3 hPa|87 %|RED|300|0|"},
      {false, prefix(13, 3), {}, "ID|Norvel4|800|22.6 °C|45 %|1013.3 hPa|87 %|RED|300|0|"},
  };
  for (const auto& [detailed, bytes, name, expected] : rows) {
    const Reading reading = detailed ? decodeDetailed(bytes) : decodeBasic(bytes);
    EXPECT_EQ(values(jsonDocument("ID", name, reading)), expected) << bytes.size() << " bytes";
  }
}

// Printf's "%.1f" of the exact double: ties (0.25, 1.25) go to even, 0.15 is just below one.
TEST(RecordsTest, TemperatureRoundsTheExactValueTiesToEven) {
  const std::pair<std::uint16_t, std::string> rows[] = {
      {0, "0.0"},  {3, "0.1"},    {5, "0.2"},        {15, "0.8"},
      {25, "1.2"}, {451, "22.6"}, {65516, "3275.8"}, {65535, "3276.8"}};
  for (const auto& [raw, text] : rows)
    EXPECT_EQ(values(jsonDocument("", "", {.temperature = raw})),
              "||0|" + text + " °C|0 %|0.0 hPa|0 %||0|0|")
        << raw;
}

TEST(RecordsTest, DocumentHasTheMembersInOrder) {
  EXPECT_EQ(jsonDocument("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", {}, decodeDetailed(kBytes)), R"({
  "address" : "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
  "name" : "Norvel4",
  "co2" : 800,
  "temperature" : "22.6 °C",
  "humidity" : "45 %",
  "pressure" : "1013.3 hPa",
  "battery" : "87 %",
  "status" : "GREEN",
  "interval" : 300,
  "age" : 120
})");
}

TEST(RecordsTest, JsonStringEscapesAndReplacesInvalidUtf8) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> rows[] = {
      {R"(say "hi" \o/ Norvel4/2)", R"(say \"hi\" \\o\/ Norvel4\/2)"},
      {std::string("\x7F\x00\x01\b\t\n\f\r\x1F", 9), "\x7F\\u0000\\u0001\\b\\t\\n\\f\\r\\u001f"},
      {"\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
       "\xC2\xB0 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
      // Cut short: the maximal subpart is replaced as one.
      {"a\x80z \xC3 \xE2\x82z \xF0\x9F\x98", "a" + r + "z " + r + " " + r + "z " + r},
      // Overlong, surrogate, beyond U+10FFFF, no lead byte: each byte is replaced.
      {"\xC0\x80 \xE0\x80\x80 \xED\xA0\x80", r + r + " " + r + r + r + " " + r + r + r},
      {"\xF4\x90\x80\x80 \xF5\x80", r + r + r + r + " " + r + r},
      {"Kit\xE2\x82\xC3\xA9/\xFFz", "Kit" + r + "\xC3\xA9\\/" + r + "z"},
  };
  for (const auto& [text, expected] : rows)
    EXPECT_EQ(jsonString(text), '"' + expected + '"') << text;
}

}  // namespace
}  // namespace norvel::records
