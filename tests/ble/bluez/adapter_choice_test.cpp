#include "ble/bluez/adapter_choice.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace norvel::ble::bluez {
namespace {

struct Adapter {
  std::string name;
  bool powered;
};

struct AdapterChoiceCase {
  std::string title;
  std::vector<Adapter> adapters;
  std::optional<std::string> wanted;
  std::optional<std::string> chosen;
};

class AdapterChoiceTest : public ::testing::TestWithParam<AdapterChoiceCase> {};

// Each adapter has a device below it, as on a machine that has scanned, and the address
// 00:1A:7D:DA:71:0N for hciN.
TEST_P(AdapterChoiceTest, PicksTheWantedOrTheFirstPoweredAdapter) {
  ObjectTree tree;
  for (const auto& adapter : GetParam().adapters) {
    const std::string path = "/org/bluez/" + adapter.name;
    tree.addInterfaces(path, {{"org.bluez.Adapter1",
                               {{"Powered", adapter.powered},
                                {"Address", "00:1A:7D:DA:71:0" + adapter.name.substr(3)}}}});
    tree.addInterfaces(path + "/dev_C0_FF_EE_00_00_01", {{"org.bluez.Device1", {}}});
  }
  tree.addInterfaces("/org/bluez", {{"org.bluez.AgentManager1", {}}});
  auto chosen = chooseAdapter(tree, GetParam().wanted);
  EXPECT_EQ(chosen ? std::optional(chosen->substr(11)) : std::nullopt, GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, AdapterChoiceTest,
    ::testing::Values(
        AdapterChoiceCase{"noAdapter", {}, std::nullopt, std::nullopt},
        AdapterChoiceCase{
            "firstPoweredInPathOrder", {{"hci1", true}, {"hci0", true}}, std::nullopt, "hci0"},
        AdapterChoiceCase{
            "poweredOverFirst", {{"hci0", false}, {"hci1", true}}, std::nullopt, "hci1"},
        AdapterChoiceCase{
            "firstWhenNonePowered", {{"hci1", false}, {"hci0", false}}, std::nullopt, "hci0"},
        AdapterChoiceCase{"byName", {{"hci0", true}, {"hci1", false}}, "hci1", "hci1"},
        AdapterChoiceCase{
            "byAddressInLowerCase", {{"hci0", true}, {"hci1", true}}, "00:1a:7d:da:71:01", "hci1"},
        AdapterChoiceCase{"wantedMissing", {{"hci0", true}}, "hci2", std::nullopt},
        AdapterChoiceCase{"partOfANameIsNoName", {{"hci0", true}}, "hci", std::nullopt},
        AdapterChoiceCase{
            "deviceAddressIsNoAdapter", {{"hci0", true}}, "C0:FF:EE:00:00:01", std::nullopt}),
    [](const auto& info) { return info.param.title; });

}  // namespace
}  // namespace norvel::ble::bluez
