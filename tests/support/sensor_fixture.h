#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ble/scripted/scripted_bluetooth.h"
#include "ble/scripted/scripted_gatt.h"
#include "ble/scripted/scripted_peripheral.h"
#include "reader/norvel_reader.h"
#include "support/recording_run_end.h"

namespace norvel::testing {

inline const ble::Uuid kSensorIdentifier =
    *ble::Uuid::parse("1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB");
inline const ble::Uuid kOtherIdentifier = *ble::Uuid::parse("00000000-1111-2222-3333-444444444444");
inline const ble::Uuid kServiceUuid = ble::Uuid::fromShort(0xFCE0);
inline const ble::Uuid kDetailedUuid = *ble::Uuid::parse("F0CD3001-95DA-4F4B-9AC8-AA55D312AF0C");
inline const ble::Uuid kBasicUuid = *ble::Uuid::parse("F0CD1503-95DA-4F4B-9AC8-AA55D312AF0C");
inline const ble::Bytes kWorkedExample = {0x20, 0x03, 0xC3, 0x01, 0x95, 0x27, 0x2D,
                                          0x57, 0x01, 0x2C, 0x01, 0x78, 0x00};

// One reader on the scripted stack, with a sensor peripheral that offers the service and
// both readings characteristics; tests deliver the events they need.
struct SensorFixture {
  explicit SensorFixture(std::optional<std::string> target = std::nullopt,
                         std::optional<std::string> name = "Norvel4 Office",
                         ble::Uuid identifier = kSensorIdentifier)
      : sensor(std::make_shared<ble::scripted::ScriptedPeripheral>(bluetooth.log(), identifier,
                                                                   std::move(name))),
        reader(std::move(target), bluetooth, runEnd) {}

  ble::scripted::ScriptedCentralManager& central() { return *bluetooth.central(); }
  const std::vector<std::string>& requests() { return bluetooth.log().lines(); }

  // Adapter on, sensor found by scanning and connected, requests so far forgotten.
  void connectByScan() {
    central().deliverState(ble::ManagerState::poweredOn);
    central().deliverDiscovery(sensor);
    central().deliverConnected(*sensor);
    bluetooth.log().clear();
  }
  // ... and its service and both characteristics discovered, requests forgotten.
  void discoverAll() {
    connectByScan();
    sensor->deliverServices(std::vector<std::shared_ptr<ble::Service>>{service});
    sensor->deliverCharacteristics(
        *service, std::vector<std::shared_ptr<ble::Characteristic>>{detailed, basic});
    bluetooth.log().clear();
  }

  ble::scripted::ScriptedBluetooth bluetooth;
  RecordingRunEnd runEnd;
  std::shared_ptr<ble::scripted::ScriptedPeripheral> sensor;
  std::shared_ptr<ble::scripted::ScriptedService> service =
      std::make_shared<ble::scripted::ScriptedService>(kServiceUuid);
  std::shared_ptr<ble::scripted::ScriptedCharacteristic> detailed =
      std::make_shared<ble::scripted::ScriptedCharacteristic>(kDetailedUuid);
  std::shared_ptr<ble::scripted::ScriptedCharacteristic> basic =
      std::make_shared<ble::scripted::ScriptedCharacteristic>(kBasicUuid);
  NorvelReader reader;
};

}  // namespace norvel::testing
