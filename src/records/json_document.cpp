#include "records/json_document.h"

#include <type_traits>

#include "records/json_string.h"

namespace norvel::records {
namespace {

std::string jsonValue(const RecordValue& value) {
  return std::visit(
      [](const auto& held) {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::string>) {
          return jsonString(held);
        } else {
          return std::to_string(held);
        }
      },
      value);
}

}  // namespace

std::string jsonDocument(const SensorRecord& record) {
  std::string document = "{";
  const char* separator = "\n";
  for (const auto& [key, value] : record.entries()) {
    document += separator;
    document += "  " + jsonString(key) + " : " + jsonValue(value);
    separator = ",\n";
  }
  document += "\n}";
  return document;
}

}  // namespace norvel::records
