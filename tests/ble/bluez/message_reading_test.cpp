#include "ble/bluez/message_reading.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "ble/bluez/sd_handles.h"

namespace norvel::ble::bluez {
namespace {

using Append = std::function<int(sd_bus_message*)>;

// Builds messages as if received: a bus on one end of a socket pair is enough to create and
// seal them; nothing is sent.
class MessageFactory {
 public:
  MessageFactory() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) < 0)
      return;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
      return;
    bus_.reset(bus);
    if (sd_bus_set_fd(bus, fds_[0], fds_[0]) < 0 || sd_bus_start(bus) < 0)
      bus_.reset();
  }
  MessageFactory(const MessageFactory&) = delete;
  MessageFactory& operator=(const MessageFactory&) = delete;
  ~MessageFactory() {
    bus_.reset();
    if (fds_[1] >= 0)
      close(fds_[1]);
  }

  BusMessagePtr signal(const Append& append) {
    sd_bus_message* message = nullptr;
    if (!bus_ || sd_bus_message_new_signal(bus_.get(), &message, "/org/bluez/hci0",
                                           "test.Interface", "Changed") < 0) {
      return nullptr;
    }
    BusMessagePtr owned(message);
    if (append(message) < 0 || sd_bus_message_seal(message, ++cookie_, 0) < 0)
      return nullptr;
    return owned;
  }

 private:
  int fds_[2] = {-1, -1};
  BusPtr bus_;
  std::uint64_t cookie_ = 0;
};

struct VariantCase {
  std::string name;
  Append appendVariant;
  PropertyValue expected;
};

class VariantReadingTest : public ::testing::TestWithParam<VariantCase> {};

// The property sits between two others, so a variant skipped wrongly would spoil "After".
TEST_P(VariantReadingTest, KeepsReadTypesAndSkipsOthers) {
  MessageFactory factory;
  auto message = factory.signal([](sd_bus_message* m) {
    int r = sd_bus_message_append(m, "s", "org.bluez.Device1");
    if (r >= 0)
      r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0)
      r = sd_bus_message_append(m, "{sv}", "Before", "b", 1);
    if (r >= 0)
      r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0)
      r = sd_bus_message_append(m, "s", "Property");
    if (r >= 0)
      r = GetParam().appendVariant(m);
    if (r >= 0)
      r = sd_bus_message_close_container(m);
    if (r >= 0)
      r = sd_bus_message_append(m, "{sv}", "After", "s", "ok");
    if (r >= 0)
      r = sd_bus_message_close_container(m);
    if (r >= 0)
      r = sd_bus_message_append(m, "as", 1, "Gone");
    return r;
  });
  ASSERT_NE(message, nullptr);

  auto changed = readPropertiesChanged(message.get());
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(changed->interface, "org.bluez.Device1");
  EXPECT_EQ(changed->changed.at("Property"), GetParam().expected);
  EXPECT_EQ(boolProperty(changed->changed, "Before"), true);
  EXPECT_EQ(stringProperty(changed->changed, "After"), "ok");
  EXPECT_EQ(changed->invalidated, std::vector<std::string>{"Gone"});
}

INSTANTIATE_TEST_SUITE_P(
    Variants, VariantReadingTest,
    ::testing::Values(
        VariantCase{"bool", [](auto* m) { return sd_bus_message_append(m, "v", "b", 0); }, false},
        VariantCase{"string", [](auto* m) { return sd_bus_message_append(m, "v", "s", "Norvel4"); },
                    std::string("Norvel4")},
        VariantCase{"int16",
                    [](auto* m) { return sd_bus_message_append(m, "v", "n", std::int16_t{-60}); },
                    std::int64_t{-60}},
        VariantCase{"uint64TooLarge",
                    [](auto* m) {
                      return sd_bus_message_append(m, "v", "t",
                                                   std::numeric_limits<std::uint64_t>::max());
                    },
                    std::monostate{}},
        VariantCase{"byteArray",
                    [](auto* m) { return sd_bus_message_append(m, "v", "ay", 2, 0x01, 0x02); },
                    std::monostate{}},
        VariantCase{"variantInVariant",
                    [](auto* m) { return sd_bus_message_append(m, "v", "v", "s", "Norvel4"); },
                    std::monostate{}}),
    [](const auto& info) { return info.param.name; });

struct ShapeCase {
  std::string name;
  Append appendBody;
  std::function<bool(sd_bus_message*)> readsAsAbsent;
};

class MessageShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(MessageShapeTest, AnotherSignatureReadsAsAbsent) {
  MessageFactory factory;
  auto message = factory.signal(GetParam().appendBody);
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(GetParam().readsAsAbsent(message.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MessageShapeTest,
    ::testing::Values(
        ShapeCase{"managedObjectsWithoutPaths",
                  [](auto* m) {
                    return sd_bus_message_append(m, "a{sa{sv}}", 1, "org.bluez.Adapter1", 1,
                                                 "Powered", "b", 1);
                  },
                  [](auto* m) { return !readManagedObjects(m); }},
        ShapeCase{"interfacesAddedWithoutInterfaceLevel",
                  [](auto* m) {
                    return sd_bus_message_append(m, "oa{sv}", "/org/bluez/hci0", 1, "Powered", "b",
                                                 1);
                  },
                  [](auto* m) { return !readInterfacesAdded(m); }},
        ShapeCase{"interfacesRemovedAsString",
                  [](auto* m) {
                    return sd_bus_message_append(m, "os", "/org/bluez/hci0", "org.bluez.Adapter1");
                  },
                  [](auto* m) { return !readInterfacesRemoved(m); }},
        ShapeCase{"propertiesChangedWithoutInvalidated",
                  [](auto* m) {
                    return sd_bus_message_append(m, "sa{sv}", "org.bluez.Device1", 1, "RSSI", "n",
                                                 std::int16_t{-50});
                  },
                  [](auto* m) { return !readPropertiesChanged(m); }},
        ShapeCase{"readValueAsString", [](auto* m) { return sd_bus_message_append(m, "s", "x"); },
                  [](auto* m) { return !readByteArray(m); }},
        ShapeCase{"readValueInVariant",
                  [](auto* m) { return sd_bus_message_append(m, "v", "ay", 1, 0x01); },
                  [](auto* m) { return !readByteArray(m); }}),
    [](const auto& info) { return info.param.name; });

TEST(MessageReadingTest, ReadsManagedObjectsAndByteArrays) {
  MessageFactory factory;
  auto objects = factory.signal([](sd_bus_message* m) {
    return sd_bus_message_append(m, "a{oa{sa{sv}}}", 2, "/org/bluez/hci1", 1, "org.bluez.Adapter1",
                                 1, "Powered", "b", 0, "/org/bluez/hci0", 2, "org.bluez.Adapter1",
                                 1, "Powered", "b", 1, "org.freedesktop.DBus.Introspectable", 0);
  });
  ASSERT_NE(objects, nullptr);
  auto read = readManagedObjects(objects.get());
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ(read->begin()->first, "/org/bluez/hci0");
  EXPECT_EQ(boolProperty(read->at("/org/bluez/hci0").at("org.bluez.Adapter1"), "Powered"), true);
  EXPECT_EQ(boolProperty(read->at("/org/bluez/hci1").at("org.bluez.Adapter1"), "Powered"), false);
  EXPECT_TRUE(read->at("/org/bluez/hci0").contains("org.freedesktop.DBus.Introspectable"));
  // Reading again starts from the beginning.
  EXPECT_EQ(readManagedObjects(objects.get()), read);

  auto empty = factory.signal([](sd_bus_message* m) { return sd_bus_message_append(m, "ay", 0); });
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(readByteArray(empty.get()), Bytes{});

  auto value = factory.signal(
      [](sd_bus_message* m) { return sd_bus_message_append(m, "ay", 3, 0x00, 0x7F, 0xFF); });
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(readByteArray(value.get()), (Bytes{0x00, 0x7F, 0xFF}));
}

struct IntrospectionCase {
  std::string title;
  std::string xml;
  std::vector<std::string> children;
  std::vector<std::string> interfaces;
};

class IntrospectionTest : public ::testing::TestWithParam<IntrospectionCase> {};

TEST_P(IntrospectionTest, ListsChildNodesAndInterfaces) {
  auto introspection = parseIntrospection(GetParam().xml);
  EXPECT_EQ(introspection.children, GetParam().children);
  EXPECT_EQ(introspection.interfaces, GetParam().interfaces);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, IntrospectionTest,
    ::testing::Values(
        IntrospectionCase{"unnamedRoot",
                          "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
                          "1.0//EN\">\n<node><interface name=\"org.bluez.Adapter1\"><method "
                          "name=\"StartDiscovery\"></method></interface><node "
                          "name=\"dev_C0_FF_EE_00_00_01\"/><node name=\"dev_X\"/></node>",
                          {"dev_C0_FF_EE_00_00_01", "dev_X"},
                          {"org.bluez.Adapter1"}},
        IntrospectionCase{"namedRootIsNoChild",
                          "<node name=\"/org/bluez/hci0\"><interface name=\"a.B\"/><interface "
                          "name=\"c.D\"/><node name=\"dev_A\"/></node>",
                          {"dev_A"},
                          {"a.B", "c.D"}},
        IntrospectionCase{"invalidNamesSkipped",
                          "<node><node name=\"../up\"/><node name=\"\"/><node/><node "
                          "name=\"ok_1\"/><nodes name=\"x\"/></node>",
                          {"ok_1"},
                          {}},
        IntrospectionCase{"commentsAndSingleQuotes",
                          "<node><!-- <node name=\"hidden\"/> --><node name='dev_B'/></node>",
                          {"dev_B"},
                          {}},
        IntrospectionCase{"truncated", "<node><node name=\"dev_A", {}, {}}),
    [](const auto& info) { return info.param.title; });

}  // namespace
}  // namespace norvel::ble::bluez
