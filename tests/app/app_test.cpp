// The argument walk, writing the result, and the run's deadline.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/arguments.h"
#include "app/process_run_end.h"
#include "app/run_start.h"
#include "ble/scripted/manual_queue.h"
#include "support/sensor_fixture.h"

namespace norvel::app {
namespace {

using namespace std::chrono_literals;

TEST(ArgumentsTest, TargetIsTheFirstArgumentNotStartingWithDash) {
  const std::pair<std::vector<const char*>, std::optional<std::string>> rows[] = {
      {{}, std::nullopt},
      {{"ABC"}, std::nullopt},
      {{"norvel-read", "-", "--help", "-h"}, std::nullopt},
      {{"norvel-read", "-x", "ABC", "DEF"}, "ABC"},
      {{"norvel-read", "", "ABC"}, ""},
      {{"norvel-read", " -a"}, " -a"},
  };
  for (const auto& [arguments, target] : rows)
    EXPECT_EQ(targetFromArguments(arguments), target) << arguments.size() << " arguments";
}

std::string contents(std::FILE* file) {
  char text[256];
  std::rewind(file);
  return std::string(text, std::fread(text, 1, sizeof text, file));
}

TEST(WriteResultTest, WritesTheWholeDocumentOrSaysWhyNot) {
  // As in the binary: a closed pipe fails the write instead of killing the process.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  close(pipeEnds[0]);
  const std::tuple<std::FILE*, int, std::string> rows[] = {
      {std::tmpfile(), 0, ""},
      {std::fopen("/dev/full", "w"), 1, "Error: Failed to write output: No space left on device\n"},
      {fdopen(pipeEnds[1], "w"), 1, "Error: Failed to write output: Broken pipe\n"},
  };
  for (const auto& [out, status, message] : rows) {
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(writeResult(out, err, "{\n}\n"), status);
    EXPECT_EQ(contents(err), message);
    EXPECT_TRUE(status != 0 || contents(out) == "{\n}\n");
    std::fclose(err);
    std::fclose(out);
  }
  std::signal(SIGPIPE, previous);
}

// The deadline looks at no state, so a run that never gets further than asking for the sensor
// shows it: the run ends at 15 s and not before.
TEST(RunStartTest, DeadlineEndsTheRunAtFifteenSeconds) {
  ble::scripted::ScriptedBluetooth bluetooth;
  ble::scripted::ManualQueue queue;
  testing::RecordingRunEnd runEnd;
  const auto reader = startRun(testing::kSensorId.toString(), bluetooth, queue, runEnd);
  bluetooth.central().deliverState(ble::ManagerState::poweredOn);
  // The target reached the reader: the sensor is retrieved, not scanned for.
  EXPECT_EQ(bluetooth.central().log.front(), "retrieve [" + testing::kSensorId.toString() + "]");
  queue.advance(14.999s);
  EXPECT_EQ(runEnd.ended, "");
  queue.advance(0.001s);
  EXPECT_EQ(runEnd.ended, "1 Error: Timeout searching for Norvel sensor\n");
}

}  // namespace
}  // namespace norvel::app
