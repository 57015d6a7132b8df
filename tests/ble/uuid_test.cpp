#include "ble/uuid.h"

#include <string>

#include <gtest/gtest.h>

namespace norvel::ble {
namespace {

using namespace std::string_literals;

TEST(UuidTest, ParsesOnlyTheFullTextFormAndPrintsItUpperCase) {
  const std::string text = "F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C";
  EXPECT_EQ(Uuid::parse(text).value().toString(), text);
  EXPECT_EQ(Uuid::parse("f0cd3001-95da-4f4b-9ac8-aa55d312af0c"), Uuid::parse(text));
  EXPECT_EQ(Uuid::parse("00000000-0000-0000-0000-0000000000a1").value().bytes().back(), 0xA1);
  for (const std::string& rejected :
       {std::string(), "FCE0"s, "F0CD300195DA4F4B9AC8AA55D312AF0C"s, "{" + text + "}", " " + text,
        text + "0", "F0CD3001-95DA-4F4B-9AC8-AA55D312AF0G"s,
        "F0CD3001-95DA-4F4B-9AC8+AA55D312AF0C"s, "F0CD300-195DA-4F4B-9AC8-AA55D312AF0C"s})
    EXPECT_FALSE(Uuid::parse(rejected)) << rejected;
}

}  // namespace
}  // namespace norvel::ble
