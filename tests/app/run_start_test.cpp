#include "app/run_start.h"

#include <gtest/gtest.h>

#include "ble/scripted/manual_queue.h"
#include "ble/scripted/scripted_bluetooth.h"
#include "support/recording_run_end.h"
#include "support/sensor_fixture.h"

namespace norvel::app {
namespace {

using ble::ManagerState;
using testing::Outcome;
using namespace std::chrono_literals;

const Outcome kTimeout{1, "", "Error: Timeout searching for Norvel sensor\n"};

struct StartedRun {
  ble::scripted::ScriptedBluetooth bluetooth;
  ble::scripted::ManualQueue queue;
  testing::RecordingRunEnd runEnd;
  std::unique_ptr<NorvelReader> reader = startRun(std::nullopt, bluetooth, queue, runEnd);
};

TEST(RunStartTest, DeadlineEndsTheRunAfterFifteenSecondsWhateverItsStage) {
  for (auto stage : {ManagerState::unknown, ManagerState::unsupported, ManagerState::poweredOn}) {
    StartedRun run;
    ASSERT_NE(run.bluetooth.central(), nullptr);
    run.bluetooth.central()->deliverState(stage);
    run.queue.advance(14.999s);
    EXPECT_TRUE(run.runEnd.endings.empty());
    run.queue.advance(0.001s);
    EXPECT_EQ(run.runEnd.endings, std::vector<Outcome>{kTimeout});
  }
}

TEST(RunStartTest, DeadlineCoversAConnectedRunThatNeverGetsItsValue) {
  StartedRun run;
  auto& central = *run.bluetooth.central();
  auto sensor = std::make_shared<ble::scripted::ScriptedPeripheral>(
      run.bluetooth.log(), testing::kSensorIdentifier, "Norvel4");
  central.deliverState(ManagerState::poweredOn);
  central.deliverDiscovery(sensor);
  central.deliverConnected(*sensor);
  run.queue.advance(15s);
  EXPECT_EQ(run.runEnd.endings, std::vector<Outcome>{kTimeout});
}

TEST(RunStartTest, PassesTheTargetToTheReader) {
  ble::scripted::ScriptedBluetooth bluetooth;
  ble::scripted::ManualQueue queue;
  testing::RecordingRunEnd runEnd;
  auto reader = startRun("abc", bluetooth, queue, runEnd);
  EXPECT_EQ(reader->targetUUIDString(), "abc");
  EXPECT_EQ(queue.pendingTasks(), 1u);
}

}  // namespace
}  // namespace norvel::app
