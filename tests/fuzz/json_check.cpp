#include "json_check.h"

#include <cstddef>
#include <cstdint>

namespace norvel::fuzz {
namespace {

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<std::vector<JsonMember>> flatObject() {
    std::vector<JsonMember> members;
    if (!take('{'))
      return std::nullopt;
    if (!take('}')) {
      do {
        JsonMember member;
        if (!string(member.key) || !take(':'))
          return std::nullopt;
        space();
        member.isString = at_ < text_.size() && text_[at_] == '"';
        if (!(member.isString ? string(member.value) : number(member.value)))
          return std::nullopt;
        members.push_back(std::move(member));
      } while (take(','));
      if (!take('}'))
        return std::nullopt;
    }
    space();
    if (at_ != text_.size())
      return std::nullopt;
    return members;
  }

 private:
  void space() {
    while (at_ < text_.size() &&
           std::string_view(" \t\n\r").find(text_[at_]) != std::string_view::npos)
      ++at_;
  }
  // The character after optional white space.
  bool take(char c) {
    space();
    return takeNow(c);
  }
  bool takeNow(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  std::size_t digits() {
    std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
      ++at_;
    return at_ - start;
  }
  std::optional<std::uint32_t> hex4() {
    if (text_.size() - at_ < 4)
      return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const auto digit = std::string_view("0123456789abcdef0123456789ABCDEF").find(c);
      if (digit == std::string_view::npos)
        return std::nullopt;
      value = value << 4 | (digit % 16);
    }
    return value;
  }
  std::optional<std::uint32_t> escapedCode() {
    auto code = hex4();
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF))
      return std::nullopt;
    if (*code < 0xD800 || *code > 0xDBFF)
      return code;
    if (!takeNow('\\') || !takeNow('u'))
      return std::nullopt;
    auto low = hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF)
      return std::nullopt;
    return 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
  }
  bool string(std::string& out) {
    if (!take('"'))
      return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"')
        return true;
      if (static_cast<unsigned char>(c) < 0x20 || (c == '\\' && at_ == text_.size()))
        return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      const char escape = text_[at_++];
      constexpr std::string_view kEscapes = "\"\\/bfnrt";
      constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
      if (auto simple = kEscapes.find(escape); simple != std::string_view::npos) {
        out += kMeanings[simple];
      } else if (escape == 'u') {
        auto code = escapedCode();
        if (!code)
          return false;
        appendUtf8(out, *code);
      } else {
        return false;
      }
    }
    return false;
  }
  bool number(std::string& out) {
    const std::size_t start = at_;
    takeNow('-');
    if (!takeNow('0') && digits() == 0)
      return false;
    if (takeNow('.') && digits() == 0)
      return false;
    if (takeNow('e') || takeNow('E')) {
      if (!takeNow('+'))
        takeNow('-');
      if (digits() == 0)
        return false;
    }
    out = text_.substr(start, at_ - start);
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[at]);
    std::size_t length = lead < 0x80   ? 1
                         : lead < 0xC2 ? 0
                         : lead < 0xE0 ? 2
                         : lead < 0xF0 ? 3
                         : lead < 0xF5 ? 4
                                       : 0;
    if (length == 0 || text.size() - at < length)
      return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<std::uint8_t>(text[at + i]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = code << 6 | (next & 0x3F);
    }
    constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    at += length;
  }
  return true;
}

std::optional<std::vector<JsonMember>> parseFlatObject(std::string_view text) {
  return Parser(text).flatObject();
}

}  // namespace norvel::fuzz
