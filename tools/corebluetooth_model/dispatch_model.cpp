// The main queue of the model: one thread, work items in time order on a virtual clock, and
// signal sources whose signals the loop takes with sigtimedwait.
#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <dispatch/dispatch.h>

#include "model_log.h"

const struct dispatch_source_type_s {
} _dispatch_source_type_signal{};

namespace {

struct SignalSource : dispatch_source_s {
  int signal = 0;
  void* context = nullptr;
  dispatch_function_t handler = nullptr;
  bool resumed = false;
};

struct WorkItem {
  void* context;
  dispatch_function_t work;
};

struct MainQueue : dispatch_queue_s {
  std::uint64_t now = 0;
  // By due time, then in the order submitted.
  std::multimap<std::uint64_t, WorkItem> items;
  std::vector<std::unique_ptr<SignalSource>> sources;
  // Blocked, and taken by the loop.
  sigset_t watched = [] {
    sigset_t none;
    sigemptyset(&none);
    return none;
  }();
};

MainQueue& mainQueue() {
  static MainQueue queue;
  return queue;
}

SignalSource* sourceOf(dispatch_object_t object) {
  for (auto& source : mainQueue().sources) {
    if (source.get() == object)
      return source.get();
  }
  std::fputs("dispatch model: not a signal source\n", stderr);
  std::abort();
}

// A signal the process has not set to SIG_IGN takes its default action, before any source
// sees it, as it would on the real kernel.
void deliver(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  if (action.sa_handler != SIG_IGN) {
    modelLog("signal %d not ignored: its default action", signal);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    std::signal(signal, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    return;
  }
  for (auto& source : mainQueue().sources) {
    if (source->signal == signal && source->resumed)
      dispatch_async_f(&mainQueue(), source->context, source->handler);
  }
}

// Takes the pending signals; waits for one when nothing else is due and nothing will be.
void takeSignals(bool wait) {
  const timespec none{};
  int signal = 0;
  while ((signal = sigtimedwait(&mainQueue().watched, nullptr, &none)) > 0) {
    deliver(signal);
    wait = false;
  }
  while (wait && (signal = sigwaitinfo(&mainQueue().watched, nullptr)) < 0) {
  }
  if (wait)
    deliver(signal);
}

}  // namespace

double modelNow() {
  return static_cast<double>(mainQueue().now) / NSEC_PER_SEC;
}

extern "C" {

dispatch_queue_t dispatch_get_main_queue(void) {
  return &mainQueue();
}

dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t delta) {
  const std::uint64_t base = when == DISPATCH_TIME_NOW ? mainQueue().now : when;
  return delta < 0 ? base : base + static_cast<std::uint64_t>(delta);
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
  dispatch_after_f(DISPATCH_TIME_NOW, queue, context, work);
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
  if (queue != &mainQueue()) {
    std::fputs("dispatch model: only the main queue exists\n", stderr);
    std::abort();
  }
  const std::uint64_t due = when == DISPATCH_TIME_NOW ? mainQueue().now : when;
  mainQueue().items.emplace(due, WorkItem{context, work});
}

void dispatch_main(void) {
  MainQueue& queue = mainQueue();
  for (;;) {
    takeSignals(queue.items.empty());
    if (queue.items.empty())
      continue;
    auto next = queue.items.begin();
    const WorkItem item = next->second;
    queue.now = std::max(queue.now, next->first);
    queue.items.erase(next);
    item.work(item.context);
  }
}

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, std::uintptr_t handle,
                                         std::uintptr_t, dispatch_queue_t queue) {
  if (type != DISPATCH_SOURCE_TYPE_SIGNAL || queue != &mainQueue())
    return nullptr;
  MainQueue& main = mainQueue();
  auto& source = *main.sources.emplace_back(std::make_unique<SignalSource>());
  source.signal = static_cast<int>(handle);
  sigaddset(&main.watched, source.signal);
  // The disposition is left to the process.
  sigprocmask(SIG_BLOCK, &main.watched, nullptr);
  return &source;
}

void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler) {
  sourceOf(source)->handler = handler;
}

void dispatch_set_context(dispatch_object_t object, void* context) {
  sourceOf(object)->context = context;
}

void dispatch_resume(dispatch_object_t object) {
  sourceOf(object)->resumed = true;
}
}
