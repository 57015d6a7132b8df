#include "introspection_xml.h"

#include <cctype>
#include <string_view>

#include "message_writer.h"

namespace norvel::fuzz {
namespace {

constexpr std::string_view kDoctype =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";
constexpr std::string_view kChildren[] = {"hci0", "hci1", "dev_C0_FF_EE_12_34_56", "service000c",
                                          "char000d"};
constexpr std::string_view kMembers[] = {
    "", "<method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>",
    "<property name=\"Name\" type=\"s\" access=\"read\"></property>",
    "<signal name=\"PropertiesChanged\"><arg type=\"s\"/></signal>"};

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
  const bool damaged = input.ConsumeBool();
  ble::bluez::Introspection says;
  std::string xml = std::string(input.ConsumeBool() ? kDoctype : "") + "<node>\n";
  for (int interfaces = input.ConsumeIntegralInRange(0, 4); interfaces > 0; --interfaces) {
    says.interfaces.emplace_back(input.PickValueInArray(kInterfaces));
    xml += "  <interface name=\"" + says.interfaces.back() + "\">" +
           std::string(input.PickValueInArray(kMembers)) + "</interface>\n";
  }
  for (int children = input.ConsumeIntegralInRange(0, 4); children > 0; --children) {
    says.children.push_back(childName(input));
    xml += "  <node name=\"" + says.children.back() + "\"/>\n";
  }
  xml += "</node>\n";
  if (!damaged)
    return {xml, std::move(says)};
  for (int damages = input.ConsumeIntegralInRange(1, 4); damages > 0; --damages) {
    const auto at = input.ConsumeIntegralInRange<std::size_t>(0, xml.size());
    xml.erase(at, input.ConsumeIntegralInRange<std::size_t>(0, 8));
    xml.insert(at, input.ConsumeRandomLengthString(8));
  }
  return {xml, std::nullopt};
}

}  // namespace norvel::fuzz
