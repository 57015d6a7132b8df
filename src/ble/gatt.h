#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ble/uuid.h"

namespace norvel::ble {

using Bytes = std::vector<std::uint8_t>;

// A GATT characteristic as the stack last reported it. `stackKey` names the attribute to the
// stack that reported it (bluetoothd's object path) and means nothing to anyone else.
struct Characteristic {
  Uuid uuid;
  std::string stackKey;
  // The value of the last read; absent until a read has delivered one.
  std::optional<Bytes> value;
};

struct Service {
  Uuid uuid;
  std::string stackKey;
  // Absent until characteristics have been discovered for this service.
  std::optional<std::vector<Characteristic>> characteristics;
};

}  // namespace norvel::ble
