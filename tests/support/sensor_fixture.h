#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ble/scripted/scripted_bluetooth.h"
#include "reader/norvel_reader.h"
#include "reader/run_end.h"

namespace norvel::testing {

// Records each ending as "STATUS TEXT" instead of leaving the process; a second ending is
// appended, so that it shows.
struct RecordingRunEnd : RunEnd {
  void succeed(std::string_view document) override { fail(document, 0); }
  void fail(std::string_view text, int status) override {
    ended += std::to_string(status) + " " + std::string(text);
  }

  std::string ended;
};

inline const ble::Uuid kSensorId = *ble::Uuid::parse("1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB");

// One reader on the scripted stack, which already knows the sensor; tests deliver the events.
struct SensorFixture {
  explicit SensorFixture(std::optional<std::string> target,
                         std::optional<std::string> name = "Norvel4 Office")
      : reader(std::move(target), bluetooth, runEnd), sensor(central.add(kSensorId, name, true)) {}

  ble::scripted::ScriptedBluetooth bluetooth;
  RecordingRunEnd runEnd;
  NorvelReader reader;
  ble::scripted::ScriptedCentralManager& central = bluetooth.central();
  ble::scripted::ScriptedPeripheral& sensor;
};

}  // namespace norvel::testing
