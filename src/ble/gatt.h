#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ble/uuid.h"

namespace norvel::ble {

using Bytes = std::vector<std::uint8_t>;

class Characteristic {
 public:
  virtual ~Characteristic() = default;
  virtual Uuid uuid() const = 0;
  // The value of the last read; absent until a read has delivered one.
  virtual std::optional<Bytes> value() const = 0;
};

class Service {
 public:
  virtual ~Service() = default;
  virtual Uuid uuid() const = 0;
  // Absent until characteristics have been discovered for this service.
  virtual std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const = 0;
};

}  // namespace norvel::ble
