#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ble/gatt.h"

namespace norvel::ble::bluez {

// A GattCharacteristic1 object of bluetoothd.
class BluezCharacteristic : public Characteristic {
 public:
  BluezCharacteristic(std::string path, Uuid uuid) : path_(std::move(path)), uuid_(uuid) {}

  Uuid uuid() const override { return uuid_; }
  std::optional<Bytes> value() const override { return value_; }

  const std::string& path() const { return path_; }
  void setValue(std::optional<Bytes> value) { value_ = std::move(value); }

 private:
  std::string path_;
  Uuid uuid_;
  std::optional<Bytes> value_;
};

// A GattService1 object of bluetoothd.
class BluezService : public Service {
 public:
  BluezService(std::string path, Uuid uuid) : path_(std::move(path)), uuid_(uuid) {}

  Uuid uuid() const override { return uuid_; }
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const override {
    return characteristics_;
  }

  const std::string& path() const { return path_; }
  void setCharacteristics(std::vector<std::shared_ptr<Characteristic>> characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  std::string path_;
  Uuid uuid_;
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics_;
};

}  // namespace norvel::ble::bluez
