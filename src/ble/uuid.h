#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvel::ble {

// A 128-bit UUID, used both for GATT attribute types and for peripheral identifiers.
class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // The 36-character RFC 4122 text (8-4-4-4-12 hexadecimal digits, either case).
  // Nothing else is accepted: bluetoothd writes every GATT UUID this way, and it is the only
  // form a peripheral identifier may take.
  static std::optional<Uuid> parse(std::string_view text);

  // The canonical text: 36 characters, upper-case hexadecimal.
  std::string toString() const;

  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace norvel::ble
