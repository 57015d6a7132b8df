#include "records/sensor_readings.h"

#include "records/record_conversions.h"

namespace norvel::records {

SensorRecord makeSensorRecord(const PeripheralIdentity& peripheral,
                              const SensorReadings& readings) {
  SensorRecord record;
  record.set("address", addressText(peripheral));
  record.set("name", nameText(peripheral));
  record.set("co2", std::int64_t{readings.co2});
  record.set("temperature", temperatureText(readings.temperature));
  record.set("humidity", percentText(readings.humidity));
  record.set("pressure", pressureText(readings.pressure));
  record.set("battery", percentText(readings.battery));
  record.set("status", std::string(readings.status));
  record.set("interval", std::int64_t{readings.interval});
  record.set("age", std::int64_t{readings.age});
  return record;
}

}  // namespace norvel::records
