// The identifier's and the GATT UUIDs' text: what parses, in either letter case, and the
// canonical upper-case text it prints as and parses back from.
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ble/uuid.h"

namespace norvel::ble {
namespace {

TEST(UuidTest, ParsesEitherCaseAndPrintsUpperCase) {
  // The text and its canonical form, none when it must not parse.
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab", "1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB"},
      {"0000fCe0-0000-1000-8000-00805F9b34fB", "0000FCE0-0000-1000-8000-00805F9B34FB"},
      {"", {}},
      {"0000FCE0-0000-1000-8000-00805F9B34F", {}},
      {"0000FCE0-0000-1000-8000-00805F9B34FB0", {}},
      {"0000FCE000000-1000-8000-00805F9B34FB", {}},
      {"0000FCE-00000-1000-8000-00805F9B34FB", {}},
      {"0000FCE0-0000-1000-8000-00805F9B34FG", {}},
      {"0000fce0-0000-1000-8000-00805f9b34fg", {}},
  };
  for (const auto& [text, canonical] : rows) {
    const auto uuid = Uuid::parse(text);
    EXPECT_EQ(uuid ? std::optional(uuid->toString()) : std::nullopt, canonical) << text;
    EXPECT_EQ(Uuid::parse(uuid ? uuid->toString() : text), uuid) << text;  // the round trip
  }
  EXPECT_EQ(Uuid::parse("00000000-0000-0000-0000-0000000000A1")->bytes().back(), 0xA1);
}

}  // namespace
}  // namespace norvel::ble
