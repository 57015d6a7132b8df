#include "reader/peripheral_match.h"

#include <algorithm>
#include <cctype>

namespace norvel {
namespace {

char lowerAscii(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalIgnoringCase(char a, char b) {
  return lowerAscii(a) == lowerAscii(b);
}

bool containsIgnoringCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), equalIgnoringCase) !=
         text.end();
}

}  // namespace

std::string candidateName(const std::optional<std::string>& peripheralName,
                          const ble::AdvertisementData& advertisementData) {
  if (peripheralName)
    return *peripheralName;
  auto localName = advertisementData.find(ble::kAdvertisementDataLocalNameKey);
  if (localName == advertisementData.end())
    return {};
  if (const auto* text = std::get_if<std::string>(&localName->second))
    return *text;
  return {};
}

bool peripheralQualifies(const std::optional<std::string>& targetUUIDString,
                         const ble::Uuid& identifier, std::string_view name) {
  if (targetUUIDString && !targetUUIDString->empty()) {
    const std::string text = identifier.toString();
    return std::equal(text.begin(), text.end(), targetUUIDString->begin(), targetUUIDString->end(),
                      equalIgnoringCase);
  }
  return containsIgnoringCase(name, "Norvel");
}

}  // namespace norvel
