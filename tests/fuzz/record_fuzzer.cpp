// The value event with any value bytes from either readings characteristic and any device
// name: a value of the record's length gives a strict JSON document in valid UTF-8 holding
// what the bytes say; any other length gives the length error.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "json_check.h"
#include "records/basic_record.h"
#include "records/detailed_record.h"
#include "records/json_document.h"
#include "support/sensor_fixture.h"

namespace {

using norvel::fuzz::JsonMember;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "record_fuzzer: %s: %s\n", what, detail.c_str());
  std::abort();
}

std::string printed(const char* format, double value, const char* unit) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text + std::string(unit);
}

// The document the bytes must give, member by member, computed with printf's rounding.
std::vector<JsonMember> expectedMembers(std::span<const std::uint8_t> v, bool detailed,
                                        const std::string& name) {
  auto u16 = [&](std::size_t at) { return v[at] | v[at + 1] << 8; };
  auto byte = [&](std::size_t at) { return at < v.size() ? v[at] : 0; };
  const int status = v.size() > 8 ? v[8] : 1;
  return {
      {"address", norvel::testing::kSensorIdentifier.toString(), true},
      {"name", name, true},
      {"co2", std::to_string(u16(0)), false},
      {"temperature", printed("%.1f", u16(2) / 20.0, " \u00B0C"), true},
      {"humidity", std::to_string(byte(6)) + " %", true},
      {"pressure", printed("%.1f", u16(4) / 10.0, " hPa"), true},
      {"battery", std::to_string(byte(7)) + " %", true},
      {"status",
       status == 1   ? "GREEN"
       : status == 2 ? "YELLOW"
                     : "RED",
       true},
      {"interval", std::to_string(detailed ? u16(9) : 300), false},
      {"age", std::to_string(detailed ? u16(11) : 0), false},
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto flags = input.ConsumeIntegral<std::uint8_t>();
  const bool detailed = flags & 1;
  std::optional<std::string> name;
  if (flags & 2)
    name = input.ConsumeRandomLengthString(64);
  const norvel::ble::Bytes value = input.ConsumeRemainingBytes<std::uint8_t>();

  norvel::testing::SensorFixture f(norvel::testing::kSensorIdentifier.toString(), name);
  f.discoverAll();
  f.sensor->deliverValue(detailed ? *f.detailed : *f.basic, value);
  if (f.runEnd.endings.size() != 1)
    fail("endings", std::to_string(f.runEnd.endings.size()));
  const norvel::testing::Outcome& outcome = f.runEnd.endings.front();

  const std::size_t recordLength = detailed ? 13 : 6;
  if (value.size() < recordLength) {
    const std::string expected =
        "Error: Unexpected data format or length (" + std::to_string(value.size()) + " bytes)\n";
    if (outcome.status != 1 || outcome.err != expected || !outcome.out.empty())
      fail("short value accepted", outcome.out + outcome.err);
    return 0;
  }
  if (outcome.status != 0 || !outcome.err.empty() || !outcome.out.ends_with("}\n"))
    fail("value refused", outcome.err);
  if (!norvel::fuzz::isValidUtf8(outcome.out))
    fail("not UTF-8", outcome.out);
  const std::string_view document(outcome.out.data(), outcome.out.size() - 1);
  const auto members = norvel::fuzz::parseFlatObject(document);
  if (!members)
    fail("not JSON", outcome.out);
  const std::string shownName = name.value_or("Norvel4");
  auto expected = expectedMembers(value, detailed, shownName);
  if (!norvel::fuzz::isValidUtf8(shownName) && members->size() > 1)
    expected[1].value = (*members)[1].value;  // replaced bytes: valid UTF-8 is all we ask
  if (*members != expected)
    fail("wrong document", outcome.out);

  // Bytes past the record change nothing.
  const std::span<const std::uint8_t> record(
      value.data(), detailed ? 13 : std::min<std::size_t>(value.size(), 9));
  const norvel::records::PeripheralIdentity identity{norvel::testing::kSensorIdentifier, name};
  const auto decoded = detailed ? norvel::records::decodeDetailedRecord(record, identity)
                                : norvel::records::decodeBasicRecord(record, identity);
  if (norvel::records::jsonDocument(decoded) != document)
    fail("bytes past the record changed the document", outcome.out);
  return 0;
}
