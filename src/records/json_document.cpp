#include "records/json_document.h"

#include <charconv>
#include <cstddef>
#include <cstdint>

namespace norvel::records {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

struct Utf8Sequence {
  std::size_t length;  // bytes to consume, at least 1
  bool valid;
};

// The UTF-8 sequence that starts at `at` with a non-ASCII byte. When it is not well formed,
// its length is that of the maximal subpart: the lead byte with the continuation bytes that
// could still have begun a valid sequence; that subpart is replaced as one unit.
Utf8Sequence scanUtf8Sequence(std::string_view text, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length = 0;
  std::uint8_t secondLow = 0x80;
  std::uint8_t secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      secondLow = 0xA0;  // shorter forms are overlong
    if (lead == 0xED)
      secondHigh = 0x9F;  // D800-DFFF are surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      secondLow = 0x90;  // shorter forms are overlong
    if (lead == 0xF4)
      secondHigh = 0x8F;  // beyond U+10FFFF
  } else {
    return {1, false};
  }
  std::size_t matched = 1;
  while (matched < length && at + matched < text.size()) {
    const auto byte = static_cast<std::uint8_t>(text[at + matched]);
    const std::uint8_t low = matched == 1 ? secondLow : 0x80;
    const std::uint8_t high = matched == 1 ? secondHigh : 0xBF;
    if (byte < low || byte > high)
      break;
    ++matched;
  }
  return {matched, matched == length};
}

void appendControlEscape(std::string& out, char c) {
  switch (c) {
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      constexpr std::string_view kHex = "0123456789abcdef";
      const auto code = static_cast<std::uint8_t>(c);
      out += "\\u00";
      out += kHex[code >> 4];
      out += kHex[code & 0x0F];
  }
}

// printf "%.1f" semantics without the locale: the exact double rounded to one decimal,
// ties to even. The largest value a 16-bit raw field gives, 6553.5, fits the buffer easily.
std::string oneDecimal(double value) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr);
}

// The degree sign as UTF-8 bytes, whatever the compiler's execution character set.
constexpr std::string_view kDegreeCelsius =
    " \xC2\xB0"
    "C";

// Unclamped: a battery byte of 255 is "255 %".
std::string percent(std::uint8_t value) {
  return std::to_string(value) + " %";
}

std::string member(std::string_view key, const std::string& value) {
  return "  \"" + std::string(key) + "\" : " + value;
}

}  // namespace

std::string jsonDocument(std::string_view identifier, const std::optional<std::string>& name,
                         const Reading& reading) {
  const std::string members[] = {
      member("address", jsonString(identifier)),
      member("name", jsonString(name.value_or("Norvel4"))),
      member("co2", std::to_string(reading.co2)),
      member("temperature",
             jsonString(oneDecimal(reading.temperature / 20.0).append(kDegreeCelsius))),
      member("humidity", jsonString(percent(reading.humidity))),
      member("pressure", jsonString(oneDecimal(reading.pressure / 10.0) + " hPa")),
      member("battery", jsonString(percent(reading.battery))),
      member("status", jsonString(reading.status)),
      member("interval", std::to_string(reading.interval)),
      member("age", std::to_string(reading.age)),
  };
  std::string document = "{";
  const char* separator = "\n";
  for (const auto& line : members) {
    document += separator;
    document += line;
    separator = ",\n";
  }
  return document + "\n}";
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20) {
      appendControlEscape(out, c);
      ++at;
    } else if (c == '"' || c == '\\' || c == '/') {
      out += '\\';
      out += c;
      ++at;
    } else if (byte < 0x80) {
      out += c;
      ++at;
    } else {
      const Utf8Sequence sequence = scanUtf8Sequence(text, at);
      out += sequence.valid ? text.substr(at, sequence.length) : kReplacementCharacter;
      at += sequence.length;
    }
  }
  out += '"';
  return out;
}

}  // namespace norvel::records
