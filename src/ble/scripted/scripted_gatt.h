#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ble/gatt.h"

namespace norvel::ble::scripted {

class ScriptedCharacteristic : public Characteristic {
 public:
  explicit ScriptedCharacteristic(Uuid uuid) : uuid_(uuid) {}
  Uuid uuid() const override { return uuid_; }
  std::optional<Bytes> value() const override { return value_; }
  void setValue(std::optional<Bytes> value) { value_ = std::move(value); }

 private:
  Uuid uuid_;
  std::optional<Bytes> value_;
};

class ScriptedService : public Service {
 public:
  using Characteristics = std::optional<std::vector<std::shared_ptr<Characteristic>>>;

  explicit ScriptedService(Uuid uuid) : uuid_(uuid) {}
  Uuid uuid() const override { return uuid_; }
  Characteristics characteristics() const override { return characteristics_; }
  void setCharacteristics(Characteristics characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  Uuid uuid_;
  Characteristics characteristics_;
};

}  // namespace norvel::ble::scripted
