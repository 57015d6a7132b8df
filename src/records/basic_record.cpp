#include "records/basic_record.h"

#include "records/record_conversions.h"
#include "records/sensor_readings.h"

namespace norvel::records {

SensorRecord decodeBasicRecord(std::span<const std::uint8_t> bytes,
                               const PeripheralIdentity& peripheral) {
  SensorReadings readings;
  readings.co2 = readU16LE(bytes, 0);
  readings.temperature = readU16LE(bytes, 2);
  readings.pressure = readU16LE(bytes, 4);
  readings.humidity = bytes.size() >= 7 ? bytes[6] : 0;
  readings.battery = bytes.size() >= 8 ? bytes[7] : 0;
  readings.status = bytes.size() >= 9 ? statusText(bytes[8]) : "GREEN";
  readings.interval = 300;
  readings.age = 0;
  return makeSensorRecord(peripheral, readings);
}

}  // namespace norvel::records
