#include "ble/corebluetooth/dispatch_main_queue.h"

#include <dispatch/dispatch.h>

#include <csignal>
#include <cstdint>
#include <utility>

namespace norvel::ble::corebluetooth {
namespace {

// A hang-up and a quit key ask for the end as firmly as an interrupt: each must still cancel
// the connection, as on Linux.
constexpr std::array<int, 4> kTerminationSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void runTask(void* context) {
  auto* task = static_cast<std::function<void()>*>(context);
  (*task)();
  delete task;
}

}  // namespace

void DispatchMainQueue::asyncAfter(Seconds delay, std::function<void()> task) {
  const auto nanoseconds = static_cast<std::int64_t>(delay.count() * NSEC_PER_SEC);
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), dispatch_get_main_queue(),
                   new std::function<void()>(std::move(task)), &runTask);
}

void DispatchMainQueue::run() {
  dispatch_main();
}

void DispatchMainQueue::handleTerminationSignals(std::function<void(int signal)> handler) {
  signalHandler_ = std::move(handler);
  for (std::size_t i = 0; i < kTerminationSignals.size(); ++i) {
    const int signal = kTerminationSignals[i];
    watches_[i] = {this, signal};
    // A signal source sees a signal only once its default action no longer ends the process.
    std::signal(signal, SIG_IGN);
    dispatch_source_t source =
        dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<std::uintptr_t>(signal), 0,
                               dispatch_get_main_queue());
    dispatch_set_context(source, &watches_[i]);
    dispatch_source_set_event_handler_f(source, &DispatchMainQueue::signalReceived);
    dispatch_resume(source);
  }
}

void DispatchMainQueue::signalReceived(void* context) {
  const auto* watch = static_cast<SignalWatch*>(context);
  watch->queue->signalHandler_(watch->signal);
}

}  // namespace norvel::ble::corebluetooth
