#include "introspection_xml.h"

#include <cctype>
#include <string_view>

namespace norvel::fuzz {
namespace {

constexpr std::string_view kDoctype =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";
constexpr std::string_view kInterfaces[] = {
    "org.bluez.Adapter1", "org.bluez.Device1", "org.bluez.GattService1",
    "org.bluez.GattCharacteristic1", "org.freedesktop.DBus.Properties"};
constexpr std::string_view kChildren[] = {"hci0", "hci1", "dev_C0_FF_EE_12_34_56", "service000c",
                                          "char000d"};
constexpr std::string_view kMembers[] = {
    "", "<method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>",
    "<property name=\"Name\" type=\"s\" access=\"read\"></property>",
    "<signal name=\"PropertiesChanged\"><arg type=\"s\"/></signal>"};
constexpr std::string_view kPieces[] = {kDoctype,
                                        "<node>",
                                        "</node>",
                                        "<node name=\"",
                                        "<interface name=\"",
                                        "</interface>",
                                        "\">",
                                        "\"/>",
                                        "<!-- <node name=\"x\"/> -->",
                                        "<",
                                        ">",
                                        "/>",
                                        " ",
                                        "\"",
                                        "name=",
                                        "node",
                                        "hci0",
                                        "org.bluez.Device1",
                                        kMembers[1],
                                        kMembers[2]};

std::string childName(FuzzedDataProvider& input) {
  if (input.ConsumeBool())
    return std::string(input.PickValueInArray(kChildren));
  std::string name = "dev";
  for (char c : input.ConsumeRandomLengthString(12)) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
      name += c;
  }
  return name;
}

}  // namespace

IntrospectionXml introspectionXml(FuzzedDataProvider& input) {
  IntrospectionXml result;
  if (input.ConsumeBool()) {
    for (int pieces = input.ConsumeIntegralInRange(0, 32); pieces > 0; --pieces) {
      result.xml += input.ConsumeIntegralInRange(0, 7) == 7 ? input.ConsumeRandomLengthString(16)
                                                            : input.PickValueInArray(kPieces);
    }
    return result;
  }
  ble::bluez::Introspection says;
  result.xml = std::string(input.ConsumeBool() ? kDoctype : "") + "<node>\n";
  for (int interfaces = input.ConsumeIntegralInRange(0, 4); interfaces > 0; --interfaces) {
    says.interfaces.emplace_back(input.PickValueInArray(kInterfaces));
    result.xml += "  <interface name=\"" + says.interfaces.back() + "\">" +
                  std::string(input.PickValueInArray(kMembers)) + "</interface>\n";
  }
  for (int children = input.ConsumeIntegralInRange(0, 4); children > 0; --children) {
    says.children.push_back(childName(input));
    result.xml += "  <node name=\"" + says.children.back() + "\"/>\n";
  }
  result.xml += "</node>\n";
  result.says = std::move(says);
  return result;
}

}  // namespace norvel::fuzz
