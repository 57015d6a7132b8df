#include "records/detailed_record.h"

#include "records/record_conversions.h"
#include "records/sensor_readings.h"

namespace norvel::records {

SensorRecord decodeDetailedRecord(std::span<const std::uint8_t> bytes,
                                  const PeripheralIdentity& peripheral) {
  SensorReadings readings;
  readings.co2 = readU16LE(bytes, 0);
  readings.temperature = readU16LE(bytes, 2);
  readings.pressure = readU16LE(bytes, 4);
  readings.humidity = bytes[6];
  readings.battery = bytes[7];
  readings.status = statusText(bytes[8]);
  readings.interval = readU16LE(bytes, 9);
  readings.age = readU16LE(bytes, 11);
  return makeSensorRecord(peripheral, readings);
}

}  // namespace norvel::records
