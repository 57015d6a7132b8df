#include "ble/uuid.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace norvel::ble {
namespace {

struct ParseCase {
  std::string text;
  std::optional<std::string> canonical;
};

class UuidParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(UuidParseTest, AcceptsOnlyTheFullTextForm) {
  auto uuid = Uuid::parse(GetParam().text);
  ASSERT_EQ(uuid.has_value(), GetParam().canonical.has_value());
  if (uuid) {
    EXPECT_EQ(uuid->toString(), *GetParam().canonical);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, UuidParseTest,
    ::testing::Values(
        ParseCase{"F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C", "F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C"},
        ParseCase{"f0cd3001-95da-4f4b-9ac8-aa55d312af0c", "F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C"},
        ParseCase{"00000000-0000-0000-0000-000000000000", "00000000-0000-0000-0000-000000000000"},
        ParseCase{"", std::nullopt}, ParseCase{"FCE0", std::nullopt},
        ParseCase{"F0CD300195DA4F4B9AC8AA55D312AF0C", std::nullopt},
        ParseCase{"{F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C}", std::nullopt},
        ParseCase{" F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C", std::nullopt},
        ParseCase{"F0CD3001-95DA-4F4B-9AC8-AA55D312AF0G", std::nullopt},
        ParseCase{"F0CD3001-95DA-4F4B-9AC8+AA55D312AF0C", std::nullopt},
        ParseCase{"F0CD300-195DA-4F4B-9AC8-AA55D312AF0C", std::nullopt}));

TEST(UuidTest, ShortFormsExpandOverTheBaseUuid) {
  const Uuid service = *Uuid::parse("0000FCE0-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(Uuid::fromShort(0xFCE0), service);
  EXPECT_EQ(Uuid::parseGatt("fce0"), service);
  EXPECT_EQ(Uuid::parseGatt("0000FCE0"), service);
  EXPECT_EQ(Uuid::parseGatt("0000fce0-0000-1000-8000-00805f9b34fb"), service);
  EXPECT_EQ(Uuid::fromShort(0x12345678).toString(), "12345678-0000-1000-8000-00805F9B34FB");
  EXPECT_NE(Uuid::fromShort(0xFCE1), service);
  EXPECT_FALSE(Uuid::parseGatt("FCE"));
  EXPECT_FALSE(Uuid::parseGatt("FCEX"));
  EXPECT_FALSE(Uuid::parseGatt("0FCE0"));
}

}  // namespace
}  // namespace norvel::ble
