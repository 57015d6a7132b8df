#pragma once

#include <string>

#include "records/sensor_record.h"

namespace norvel::records {

// The record as a pretty-printed JSON object, members in the record's order:
//   {
//     "co2" : 800,
//     "status" : "GREEN"
//   }
// There is no line feed after the closing brace; the printer adds exactly one.
std::string jsonDocument(const SensorRecord& record);

}  // namespace norvel::records
