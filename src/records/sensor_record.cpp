#include "records/sensor_record.h"

#include <algorithm>

namespace norvel::records {

void SensorRecord::set(std::string key, RecordValue value) {
  auto existing = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.first == key; });
  if (existing != entries_.end()) {
    existing->second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const RecordValue* SensorRecord::find(const std::string& key) const {
  auto existing = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.first == key; });
  return existing == entries_.end() ? nullptr : &existing->second;
}

}  // namespace norvel::records
