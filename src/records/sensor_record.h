#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace norvel::records {

using RecordValue = std::variant<std::string, std::int64_t>;

// The measurements of one reading, keyed by name. Each key occurs at most once; entries
// keep the order in which they were first set, which is the order they are printed in.
class SensorRecord {
 public:
  using Entry = std::pair<std::string, RecordValue>;

  void set(std::string key, RecordValue value);
  const RecordValue* find(const std::string& key) const;
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

// What a record takes from the peripheral that delivered it.
struct PeripheralIdentity {
  // The peripheral identifier's text, printed as the record's address.
  std::string identifier;
  std::optional<std::string> name;
};

}  // namespace norvel::records
