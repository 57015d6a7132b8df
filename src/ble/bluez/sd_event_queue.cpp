#include "ble/bluez/sd_event_queue.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>

#include <cerrno>
#include <cmath>
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

// Watches one signal on the loop. libsystemd 252 and later block it themselves when asked
// with SD_EVENT_SIGNAL_PROCMASK; older ones reject that flag with EINVAL, and their signalfd
// sees only signals the thread has blocked already, so block it here and ask again.
int addSignalSource(sd_event* event, sd_event_source** source, int signal,
                    sd_event_signal_handler_t handler, void* userdata) {
  const int r =
      sd_event_add_signal(event, source, signal | SD_EVENT_SIGNAL_PROCMASK, handler, userdata);
  if (r != -EINVAL)
    return r;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, signal);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) < 0)
    return -errno;
  return sd_event_add_signal(event, source, signal, handler, userdata);
}

std::uint64_t toUsec(MainQueue::Seconds delay) {
  return delay.count() > 0 ? static_cast<std::uint64_t>(std::llround(delay.count() * 1e6)) : 0;
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

void SdEventQueue::asyncAfter(Seconds delay, std::function<void()> task) {
  Timer& timer = timers_.emplace_back(Timer{this, nullptr, std::move(task)});
  sd_event_source* source = nullptr;
  const int r = sd_event_add_time_relative(event_.get(), &source, CLOCK_MONOTONIC, toUsec(delay),
                                           kTimerAccuracyUsec, &SdEventQueue::timerDue, &timer);
  if (r < 0)
    timers_.pop_back();
  throwIfFailed(r, "sd_event_add_time_relative");
  timer.source.reset(source);
}

int SdEventQueue::timerDue(sd_event_source*, std::uint64_t, void* userdata) {
  auto* timer = static_cast<Timer*>(userdata);
  std::function<void()> task = std::move(timer->task);
  // Forgetting the timer releases its source, which sd-event allows from the source's own
  // callback; the task may then arm new timers or end the process.
  timer->queue->timers_.remove_if([timer](const Timer& each) { return &each == timer; });
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
  std::function<void()> task = std::move(queue->posted_.front());
  queue->posted_.pop_front();
  if (queue->posted_.empty())
    sd_event_source_set_enabled(source, SD_EVENT_OFF);
  task();
  return 0;
}

void SdEventQueue::handleTerminationSignals(std::function<void(int signal)> handler) {
  signalHandler_ = std::move(handler);
  for (int signal : kTerminationSignals) {
    sd_event_source* source = nullptr;
    throwIfFailed(
        addSignalSource(event_.get(), &source, signal, &SdEventQueue::signalReceived, this),
        "sd_event_add_signal");
    signalSources_.emplace_back(source);
  }
}

int SdEventQueue::signalReceived(sd_event_source*, const struct signalfd_siginfo* info,
                                 void* userdata) {
  static_cast<SdEventQueue*>(userdata)->signalHandler_(static_cast<int>(info->ssi_signo));
  return 0;
}

}  // namespace norvel::ble::bluez
