#include "ble/bluez/object_tree.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace norvel::ble::bluez {
namespace {

using Paths = std::vector<std::string>;

const Properties kNoProperties;

Objects objectsWith(const Paths& paths, const std::string& interface) {
  Objects objects;
  for (const auto& path : paths)
    objects[path][interface] = kNoProperties;
  return objects;
}

struct DescendantsCase {
  std::string parent;
  std::string interface;
  Paths expected;
};

class DescendantsTest : public ::testing::TestWithParam<DescendantsCase> {};

TEST_P(DescendantsTest, StayBelowTheParentInObjectPathOrder) {
  ObjectTree tree;
  tree.replace(
      objectsWith({"/org/bluez/hci1/dev_C0_FF_EE_00_00_01", "/org/bluez/hci0/dev_C0_FF_EE_00_00_02",
                   "/org/bluez/hci0/dev_C0_FF_EE_00_00_01", "/org/bluez/hci00/dev_X"},
                  "org.bluez.Device1"));
  tree.addInterfaces("/org/bluez/hci0", {{"org.bluez.Adapter1", kNoProperties}});
  tree.addInterfaces("/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service0010",
                     {{"org.bluez.GattService1", kNoProperties}});
  tree.addInterfaces("/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service000a",
                     {{"org.bluez.GattService1", kNoProperties}});
  EXPECT_EQ(tree.descendantsWith(GetParam().parent, GetParam().interface), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, DescendantsTest,
    ::testing::Values(
        DescendantsCase{
            "/org/bluez/hci0",
            "org.bluez.Device1",
            {"/org/bluez/hci0/dev_C0_FF_EE_00_00_01", "/org/bluez/hci0/dev_C0_FF_EE_00_00_02"}},
        DescendantsCase{
            "/org/bluez/hci1", "org.bluez.Device1", {"/org/bluez/hci1/dev_C0_FF_EE_00_00_01"}},
        DescendantsCase{"/org/bluez/hci2", "org.bluez.Device1", {}},
        DescendantsCase{"/org/bluez/hci0", "org.bluez.Adapter1", {}},
        DescendantsCase{"/org/bluez/hci0",
                        "org.bluez.GattService1",
                        {"/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service000a",
                         "/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service0010"}},
        DescendantsCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_01",
                        "org.bluez.GattService1",
                        {"/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service000a",
                         "/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service0010"}},
        DescendantsCase{"/org/bluez/hci0/dev_C0_FF_EE_00_00_02", "org.bluez.GattService1", {}}));

struct OutermostCase {
  Paths withInterface;
  Paths expected;
};

class OutermostTest : public ::testing::TestWithParam<OutermostCase> {};

TEST_P(OutermostTest, SkipsWhatLiesBelowAMatch) {
  ObjectTree tree;
  tree.replace(objectsWith(GetParam().withInterface, "org.bluez.Adapter1"));
  tree.addInterfaces("/org/bluez", {{"org.bluez.AgentManager1", kNoProperties}});
  EXPECT_EQ(tree.outermostWith("org.bluez.Adapter1"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, OutermostTest,
    ::testing::Values(OutermostCase{{"/org/bluez/hci1", "/org/bluez/hci0/dev_A", "/org/bluez/hci0"},
                                    {"/org/bluez/hci0", "/org/bluez/hci1"}},
                      OutermostCase{{"/org/bluez/hci00", "/org/bluez/hci0"},
                                    {"/org/bluez/hci0", "/org/bluez/hci00"}},
                      OutermostCase{{"/org/bluez/hci0", "/"}, {"/"}}));

TEST(ObjectTreeTest, PropertiesChangeOnlyOnKnownInterfacesAndInvalidationRemoves) {
  const std::string device = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";
  ObjectTree tree;
  tree.addInterfaces(device, {{"org.bluez.Device1",
                               {{"Name", std::string("Norvel4")}, {"RSSI", std::int64_t{-60}}}}});

  EXPECT_TRUE(tree.changeProperties(device, "org.bluez.Device1",
                                    {{"ServicesResolved", true}, {"Name", std::int64_t{3}}},
                                    {"RSSI"}));
  const Properties* properties = tree.find(device, "org.bluez.Device1");
  ASSERT_NE(properties, nullptr);
  EXPECT_EQ(boolProperty(*properties, "ServicesResolved"), true);
  EXPECT_EQ(stringProperty(*properties, "Name"), std::nullopt);
  EXPECT_EQ(integerProperty(*properties, "Name"), 3);
  EXPECT_EQ(integerProperty(*properties, "RSSI"), std::nullopt);

  EXPECT_FALSE(tree.changeProperties(device, "org.bluez.Battery1", {{"Percentage", true}}, {}));
  EXPECT_FALSE(tree.changeProperties(device + "/service000a", "org.bluez.Device1", {}, {}));
  EXPECT_EQ(tree.find(device, "org.bluez.Battery1"), nullptr);
  EXPECT_EQ(tree.find(device + "/service000a", "org.bluez.Device1"), nullptr);

  tree.removeInterfaces(device, {"org.bluez.Device1"});
  EXPECT_EQ(tree.find(device, "org.bluez.Device1"), nullptr);
  EXPECT_TRUE(tree.outermostWith("org.bluez.Device1").empty());
}

}  // namespace
}  // namespace norvel::ble::bluez
