// UUID, device address and object path texts from the fuzzer: what is accepted must have the
// accepted form and give back the same text, what has that form must be accepted, and
// address -> identifier -> address must be the identity.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ble/bluez/device_identifier.h"
#include "ble/uuid.h"

namespace {

using norvel::ble::Uuid;
using norvel::ble::bluez::DeviceAddress;

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "identifier_fuzzer: %s: \"%.*s\"\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// Hexadecimal digits where `pattern` has 'x', the pattern's own character elsewhere.
bool hasForm(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size())
    return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool ok = pattern[i] == 'x' ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                                      : text[i] == pattern[i];
    if (!ok)
      return false;
  }
  return true;
}

std::string addressText(const DeviceAddress& address, std::string_view separator) {
  std::string text;
  for (std::uint8_t byte : address) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    if (!text.empty())
      text += separator;
    text += pair;
  }
  return text;
}

constexpr std::string_view kUuidForm = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
constexpr std::string_view kAddressForm = "xx:xx:xx:xx:xx:xx";

void checkUuid(std::string_view text) {
  const auto uuid = Uuid::parse(text);
  if (uuid.has_value() != hasForm(text, kUuidForm))
    fail("Uuid::parse accepts the wrong texts", text);
  if (uuid && uuid->toString() != upper(text))
    fail("Uuid::parse round trip", text);

  const auto gatt = Uuid::parseGatt(text);
  if (hasForm(text, "xxxx") || hasForm(text, "xxxxxxxx")) {
    const auto shortForm = static_cast<std::uint32_t>(std::stoul(std::string(text), nullptr, 16));
    if (gatt != Uuid::fromShort(shortForm))
      fail("Uuid::parseGatt short form", text);
  } else if (gatt != uuid) {
    fail("Uuid::parseGatt long form", text);
  }

  if (!uuid)
    return;
  const auto address = norvel::ble::bluez::addressFromIdentifier(*uuid);
  if (address.has_value() != text.starts_with("00000000-0000-8000-8000-"))
    fail("addressFromIdentifier accepts the wrong identifiers", text);
  if (address && norvel::ble::bluez::identifierFromAddress(*address) != *uuid)
    fail("identifier -> address -> identifier", text);
}

void checkAddress(std::string_view text) {
  const auto address = norvel::ble::bluez::parseDeviceAddress(text);
  if (address.has_value() != hasForm(text, kAddressForm))
    fail("parseDeviceAddress accepts the wrong texts", text);
  if (!address)
    return;
  if (addressText(*address, ":") != upper(text))
    fail("parseDeviceAddress round trip", text);
  const Uuid identifier = norvel::ble::bluez::identifierFromAddress(*address);
  if (identifier.toString() != "00000000-0000-8000-8000-" + addressText(*address, ""))
    fail("identifierFromAddress", text);
  if (norvel::ble::bluez::addressFromIdentifier(identifier) != address)
    fail("address -> identifier -> address", text);
}

void checkPath(std::string_view text) {
  const auto address = norvel::ble::bluez::deviceAddressFromPath(text);
  const auto marker = text.rfind("/dev_");
  const std::string_view tail =
      marker == std::string_view::npos ? std::string_view("-") : text.substr(marker + 5);
  if (address.has_value() != hasForm(tail, "xx_xx_xx_xx_xx_xx"))
    fail("deviceAddressFromPath accepts the wrong paths", text);
  if (address && addressText(*address, "_") != upper(tail))
    fail("deviceAddressFromPath round trip", text);
  // The Address property wins when it is an address.
  const norvel::ble::bluez::Properties device{{"Address", std::string(text.substr(0, 17))}};
  const auto chosen = norvel::ble::bluez::deviceAddress(text, device);
  const auto fromProperty = norvel::ble::bluez::parseDeviceAddress(text.substr(0, 17));
  if (chosen != (fromProperty ? fromProperty : address))
    fail("deviceAddress", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkUuid(text);
  checkAddress(text);
  checkPath(text);
  return 0;
}
