// norvel-read: reads one air-quality sensor over Bluetooth LE and prints its measurements as
// one JSON object. Everything after start-up happens in callbacks on one event loop, and the
// process ends inside one of them.
#include <csignal>
#include <cstdio>
#include <span>
#include <system_error>

#include "app/arguments.h"
#include "app/process_run_end.h"
#include "app/run_start.h"
#include "ble/platform.h"

namespace {

// The one reader of the run. It is never destroyed: every run ends by exit while it lives.
norvel::NorvelReader* reader = nullptr;

}  // namespace

int main(int argc, char* argv[]) {
  // A closed pipe must surface as a failed write, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);

  try {
    norvel::ble::PlatformQueue queue;
    norvel::app::ProcessRunEnd runEnd;
    norvel::ble::PlatformBluetooth bluetooth(queue);
    runEnd.setCleanup([&bluetooth] { bluetooth.closeConnections(); });
    queue.handleTerminationSignals([&runEnd](int signal) { runEnd.endBySignal(signal); });

    const auto target = norvel::app::targetFromArguments(
        std::span<const char* const>(argv, static_cast<std::size_t>(argc)));
    reader = norvel::app::startRun(target, bluetooth, queue, runEnd).release();
    queue.run();
  } catch (const std::system_error& error) {
    // The loop could not be set up (no file descriptor left, a signal it cannot watch): one
    // line that says so, as for every other failure, rather than an abort.
    std::fprintf(stderr, "Error: Failed to set up the event loop: %s\n", error.what());
    return 1;
  }
  return 0;
}
