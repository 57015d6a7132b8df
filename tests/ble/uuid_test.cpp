// The identifier's and the GATT UUIDs' text: either letter case parses, and the canonical
// text is upper-case and parses back to the same UUID.
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ble/uuid.h"

namespace norvel::ble {
namespace {

TEST(UuidTest, ParsesEitherCaseAndPrintsUpperCase) {
  // The text and its canonical form; none when it must not parse (short, long, a hyphen out
  // of place, not hexadecimal).
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"0000fCe0-0000-1000-8000-00805F9b34fB", "0000FCE0-0000-1000-8000-00805F9B34FB"},
      {"00000000-0000-0000-0000-0000000000a1", "00000000-0000-0000-0000-0000000000A1"},
      {"0000FCE0-0000-1000-8000-00805F9B34F", {}},
      {"0000FCE0-0000-1000-8000-00805F9B34FB0", {}},
      {"0000FCE0+0000-1000-8000-00805F9B34FB", {}},
      {"0000fce0-0000-1000-8000-00805f9b34fg", {}}};
  for (const auto& [text, canonical] : rows) {
    const auto uuid = Uuid::parse(text);
    EXPECT_EQ(uuid ? std::optional(uuid->toString()) : std::nullopt, canonical) << text;
    EXPECT_EQ(Uuid::parse(uuid ? uuid->toString() : text), uuid) << text;
  }
  EXPECT_EQ(Uuid::parse("00000000-0000-0000-0000-0000000000a1")->bytes().back(), 0xA1);
}

}  // namespace
}  // namespace norvel::ble
