#pragma once

#include <string>
#include <string_view>

namespace norvel::records {

// `text` as a quoted JSON string. Escapes '"', '\\', '/' (as "\/") and the control
// characters below U+0020; every other character stays raw UTF-8. Bytes that are not
// valid UTF-8 are replaced by U+FFFD, one per maximal invalid subsequence, so the result
// is always valid UTF-8.
std::string jsonString(std::string_view text);

}  // namespace norvel::records
