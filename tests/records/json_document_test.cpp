#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "records/json_document.h"
#include "records/json_string.h"

namespace norvel::records {
namespace {

TEST(JsonDocument, UsesTheReferenceLayoutInRecordOrder) {
  SensorRecord record;
  record.set("address", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
  record.set("name", "Norvel4");
  record.set("co2", std::int64_t{800});
  record.set("temperature", "22.6 °C");
  record.set("age", std::int64_t{120});
  EXPECT_EQ(jsonDocument(record),
            "{\n"
            "  \"address\" : \"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9\",\n"
            "  \"name\" : \"Norvel4\",\n"
            "  \"co2\" : 800,\n"
            "  \"temperature\" : \"22.6 °C\",\n"
            "  \"age\" : 120\n"
            "}");
}

TEST(JsonDocument, HandlesEmptyRecordAndExtremeIntegers) {
  EXPECT_EQ(jsonDocument(SensorRecord{}), "{\n}");
  SensorRecord record;
  record.set("low", std::numeric_limits<std::int64_t>::min());
  record.set("a/b", std::int64_t{-1});
  EXPECT_EQ(jsonDocument(record), "{\n  \"low\" : -9223372036854775808,\n  \"a\\/b\" : -1\n}");
}

TEST(JsonString, EscapesAndMendsInvalidUtf8) {
  const std::string kR = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> rows[] = {
      {"Norvel4/2", R"(Norvel4\/2)"},
      {R"(say "hi" \o/)", R"(say \"hi\" \\o\/)"},
      {std::string("\x7F\x00\x01\b\t\n\f\r\x1F", 9), "\x7F\\u0000\\u0001\\b\\t\\n\\f\\r\\u001f"},
      {"°", "\xC2\xB0"},
      {"\xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
       "\xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
      {"a\x80z", "a" + kR + "z"},
      {"\xC3", kR},
      {"\xE2\x82z", kR + "z"},
      {"\xF0\x9F\x98", kR},
      {"\xC0\x80", kR + kR},
      {"\xE0\x80\x80", kR + kR + kR},
      {"\xED\xA0\x80", kR + kR + kR},
      {"\xF4\x90\x80\x80", kR + kR + kR + kR},
      {"\xF5\x80", kR + kR},
      {"Kit\xE2\x82\xC3\xA9/\xFFz", "Kit" + kR + "\xC3\xA9\\/" + kR + "z"},
  };
  for (const auto& [text, expected] : rows)
    EXPECT_EQ(jsonString(text), '"' + expected + '"') << text;
}

}  // namespace
}  // namespace norvel::records
