#include "ble/bluez/sd_event_queue.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <utility>

namespace norvel::ble::bluez {
namespace {

// A hang-up (a closed terminal, a dropped ssh session) and a quit key ask for the end as
// firmly as an interrupt: each must still disconnect the sensor, or it stays connected and
// refuses the next reader.
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// sd-event coalesces timers within their accuracy; the run's deadline must not slip.
constexpr std::uint64_t kTimerAccuracyUsec = 1;

void throwIfFailed(int r, const char* what) {
  if (r < 0)
    throw std::system_error(-r, std::generic_category(), what);
}

std::uint64_t toUsec(MainQueue::Seconds delay) {
  if (!(delay.count() > 0))
    return 0;
  return static_cast<std::uint64_t>(std::llround(delay.count() * 1e6));
}

}  // namespace

SdEventQueue::SdEventQueue() {
  sd_event* event = nullptr;
  throwIfFailed(sd_event_default(&event), "sd_event_default");
  event_.reset(event);

  sd_event_source* source = nullptr;
  throwIfFailed(sd_event_add_defer(event, &source, &SdEventQueue::postedTaskDue, this),
                "sd_event_add_defer");
  postedSource_.reset(source);
  throwIfFailed(sd_event_source_set_enabled(source, SD_EVENT_OFF), "sd_event_source_set_enabled");
}

SdEventQueue::~SdEventQueue() = default;

void SdEventQueue::asyncAfter(Seconds delay, std::function<void()> task) {
  auto timer = timers_.emplace(timers_.end());
  timer->task = std::move(task);
  timer->queue = this;
  timer->self = timer;
  sd_event_source* source = nullptr;
  int r = sd_event_add_time_relative(event_.get(), &source, CLOCK_MONOTONIC, toUsec(delay),
                                     kTimerAccuracyUsec, &SdEventQueue::timerElapsed, &*timer);
  if (r < 0) {
    timers_.erase(timer);
    throwIfFailed(r, "sd_event_add_time_relative");
  }
  timer->source.reset(source);
}

int SdEventQueue::timerElapsed(sd_event_source*, std::uint64_t, void* userdata) {
  auto* timer = static_cast<Timer*>(userdata);
  std::function<void()> task = std::move(timer->task);
  // Releasing a source from its own callback is allowed; sd-event frees it afterwards.
  timer->queue->timers_.erase(timer->self);
  task();
  return 0;
}

int SdEventQueue::run() {
  return sd_event_loop(event_.get());
}

void SdEventQueue::post(std::function<void()> task) {
  posted_.push_back(std::move(task));
  sd_event_source_set_enabled(postedSource_.get(), SD_EVENT_ON);
}

int SdEventQueue::postedTaskDue(sd_event_source* source, void* userdata) {
  auto* queue = static_cast<SdEventQueue*>(userdata);
  if (queue->posted_.empty())
    return sd_event_source_set_enabled(source, SD_EVENT_OFF);
  std::function<void()> task = std::move(queue->posted_.front());
  queue->posted_.pop_front();
  if (queue->posted_.empty())
    sd_event_source_set_enabled(source, SD_EVENT_OFF);
  task();
  return 0;
}

void SdEventQueue::handleTerminationSignals(std::function<void(int signal)> handler) {
  signalHandler_ = std::move(handler);
  if (!signalSources_.empty())
    return;
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal : kTerminationSignals)
    sigaddset(&mask, signal);
  // sd-event reads the signals from a signalfd, which sees only blocked signals.
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) < 0)
    throwIfFailed(-errno, "sigprocmask");
  for (int signal : kTerminationSignals) {
    sd_event_source* source = nullptr;
    throwIfFailed(
        sd_event_add_signal(event_.get(), &source, signal, &SdEventQueue::signalReceived, this),
        "sd_event_add_signal");
    signalSources_.emplace_back(source);
  }
}

int SdEventQueue::signalReceived(sd_event_source*, const struct signalfd_siginfo* info,
                                 void* userdata) {
  auto* queue = static_cast<SdEventQueue*>(userdata);
  if (queue->signalHandler_)
    queue->signalHandler_(static_cast<int>(info->ssi_signo));
  return 0;
}

}  // namespace norvel::ble::bluez
