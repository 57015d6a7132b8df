#include "ble/bluez/device_identifier.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace norvel::ble::bluez {
namespace {

struct AddressCase {
  std::string text;
  std::optional<std::string> identifier;
};

class IdentifierFromAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(IdentifierFromAddressTest, IsTheVersion8FormAndReadsBack) {
  auto address = parseDeviceAddress(GetParam().text);
  ASSERT_EQ(address.has_value(), GetParam().identifier.has_value());
  if (!address)
    return;
  Uuid identifier = identifierFromAddress(*address);
  EXPECT_EQ(identifier.toString(), *GetParam().identifier);
  EXPECT_EQ(identifier.bytes()[6] >> 4, 8) << "version";
  EXPECT_EQ(identifier.bytes()[8] >> 6, 0b10) << "variant";
  EXPECT_EQ(addressFromIdentifier(identifier), address);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, IdentifierFromAddressTest,
    ::testing::Values(AddressCase{"C0:FF:EE:00:00:01", "00000000-0000-8000-8000-C0FFEE000001"},
                      AddressCase{"c0:ff:ee:0a:bc:d1", "00000000-0000-8000-8000-C0FFEE0ABCD1"},
                      AddressCase{"00:00:00:00:00:00", "00000000-0000-8000-8000-000000000000"},
                      AddressCase{"FF:FF:FF:FF:FF:FF", "00000000-0000-8000-8000-FFFFFFFFFFFF"},
                      AddressCase{"", std::nullopt}, AddressCase{"C0:FF:EE:00:00", std::nullopt},
                      AddressCase{"C0:FF:EE:00:00:01:02", std::nullopt},
                      AddressCase{"C0:FF:EE:00:00:0G", std::nullopt},
                      AddressCase{"C0-FF-EE-00-00-01", std::nullopt},
                      AddressCase{"C0_FF_EE_00_00_01", std::nullopt},
                      AddressCase{"C0FFEE000001", std::nullopt},
                      AddressCase{" C0:FF:EE:00:00:01", std::nullopt}));

TEST(AddressFromIdentifierTest, OnlyTheDerivedFormStandsForAnAddress) {
  for (const char* text :
       {"10000000-0000-8000-8000-C0FFEE000001", "00000000-0000-4000-8000-C0FFEE000001",
        "00000000-0000-8000-C000-C0FFEE000001", "00000000-0000-8000-8001-C0FFEE000001",
        "0000FCE0-0000-1000-8000-00805F9B34FB"}) {
    EXPECT_EQ(addressFromIdentifier(*Uuid::parse(text)), std::nullopt) << text;
  }
}

struct DeviceCase {
  std::string path;
  Properties device;
  std::optional<std::string> identifier;
};

class DeviceAddressTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceAddressTest, PrefersTheAddressPropertyThenThePath) {
  auto address = deviceAddress(GetParam().path, GetParam().device);
  ASSERT_EQ(address.has_value(), GetParam().identifier.has_value());
  if (address) {
    EXPECT_EQ(identifierFromAddress(*address).toString(), *GetParam().identifier);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceAddressTest,
    ::testing::Values(
        DeviceCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_01",
                   {{"Address", std::string("C0:FF:EE:00:00:02")}},
                   "00000000-0000-8000-8000-C0FFEE000002"},
        DeviceCase{
            "/org/bluez/hci0/dev_C0_FF_EE_00_00_01", {}, "00000000-0000-8000-8000-C0FFEE000001"},
        DeviceCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_01",
                   {{"Address", std::int64_t{7}}},
                   "00000000-0000-8000-8000-C0FFEE000001"},
        DeviceCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_01",
                   {{"Address", std::string("not an address")}},
                   "00000000-0000-8000-8000-C0FFEE000001"},
        DeviceCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service000a", {}, std::nullopt},
        DeviceCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00", {}, std::nullopt},
        DeviceCase{"/org/bluez/hci0", {}, std::nullopt}));

}  // namespace
}  // namespace norvel::ble::bluez
