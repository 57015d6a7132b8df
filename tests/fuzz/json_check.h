#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvel::fuzz {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

struct JsonMember {
  std::string key;
  std::string value;  // a string's decoded text, or a number's text
  bool isString = false;
  friend bool operator==(const JsonMember&, const JsonMember&) = default;
};

// The members of a JSON text that is one object whose values are strings or numbers, in
// their order; nothing for any other text. Strict: no trailing commas, leading zeros, raw
// control characters in strings, unknown escapes or unpaired surrogate escapes.
std::optional<std::vector<JsonMember>> parseFlatObject(std::string_view text);

}  // namespace norvel::fuzz
