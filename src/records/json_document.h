#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "records/reading.h"

namespace norvel::records {

// The reading as a pretty-printed JSON object with ten members in a fixed order, the
// measurements as the sensor's display shows them ("22.6 °C", "87 %"):
//   {
//     "address" : "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
//     "name" : "Norvel4",
//     ...
//     "age" : 120
//   }
// `identifier` is the peripheral's, written as the address; a peripheral without a name is
// "Norvel4". There is no line feed after the closing brace; the printer adds exactly one.
std::string jsonDocument(std::string_view identifier, const std::optional<std::string>& name,
                         const Reading& reading);

// `text` as a quoted JSON string. Escapes '"', '\\', '/' (as "\/") and the control
// characters below U+0020; every other character stays raw UTF-8. Bytes that are not
// valid UTF-8 are replaced by U+FFFD, one per maximal invalid subsequence, so the result
// is always valid UTF-8.
std::string jsonString(std::string_view text);

}  // namespace norvel::records
