// The value event with any value bytes from either readings characteristic and any device
// name: a value of the record's length gives a strict JSON document in valid UTF-8 holding
// what the bytes say, members in order; any other length gives the length error.
#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/sensor_fixture.h"

namespace {

using Json = nlohmann::ordered_json;

void check(bool ok, const char* what, const std::string& ended) {
  if (ok)
    return;
  std::fprintf(stderr, "record_fuzzer: %s: %s\n", what, ended.c_str());
  std::abort();
}

std::string printed(double value, const char* unit) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%s", value, unit);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto flags = input.ConsumeIntegral<std::uint8_t>();
  const bool detailed = flags & 1;
  const auto name = flags & 2 ? std::optional(input.ConsumeRandomLengthString(64)) : std::nullopt;
  const norvel::ble::Bytes v = input.ConsumeRemainingBytes<std::uint8_t>();

  norvel::testing::SensorFixture f(norvel::testing::kSensorId.toString(), name);
  f.central.deliverState(norvel::ble::ManagerState::poweredOn);  // retrieved and connected
  f.sensor.deliverValue({detailed ? f.reader.charDetailedUUID : f.reader.charReadingsUUID, "", v});
  const std::string& ended = f.runEnd.ended;
  const std::string lengthError =
      "1 Error: Unexpected data format or length (" + std::to_string(v.size()) + " bytes)\n";
  if (v.size() < (detailed ? 13u : 6u)) {
    check(ended == lengthError, "short value accepted", ended);
    return 0;
  }
  check(ended.starts_with("0 {") && ended.ends_with("}\n"), "value refused", ended);
  const Json document = Json::parse(ended.substr(2), nullptr, false);
  check(!document.is_discarded(), "not strict JSON", ended);

  // What the bytes say, with printf's rounding; invalid UTF-8 in the name replaced as JSON
  // for Modern C++ replaces it.
  auto u16 = [&](std::size_t at) { return v[at] | v[at + 1] << 8; };
  auto byte = [&](std::size_t at) { return at < v.size() ? v[at] : 0; };
  const char* status = v.size() < 9 || v[8] == 1 ? "GREEN" : v[8] == 2 ? "YELLOW" : "RED";
  const Json expected = {
      {"address", norvel::testing::kSensorId.toString()},
      {"name",
       Json::parse(
           Json(name.value_or("Norvel4")).dump(-1, ' ', false, Json::error_handler_t::replace))},
      {"co2", u16(0)},
      {"temperature", printed(u16(2) / 20.0, " \u00B0C")},
      {"humidity", std::to_string(byte(6)) + " %"},
      {"pressure", printed(u16(4) / 10.0, " hPa")},
      {"battery", std::to_string(byte(7)) + " %"},
      {"status", status},
      {"interval", detailed ? u16(9) : 300},
      {"age", detailed ? u16(11) : 0},
  };
  check(document == expected, "wrong document", ended);
  return 0;
}
