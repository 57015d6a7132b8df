// The model's main-queue subset of libdispatch: Apple's public names and signatures for the
// calls norvel-read and the CoreBluetooth model make, in their C++ form. Only the main queue
// exists. Its clock is virtual: when no work is due, it jumps to the next timer, so a run
// that waits for its deadline takes no real time.
#pragma once

#include <cstdint>

struct dispatch_object_s {};
typedef dispatch_object_s* dispatch_object_t;
typedef struct dispatch_queue_s : public dispatch_object_s{} * dispatch_queue_t;
typedef struct dispatch_source_s : public dispatch_object_s{} * dispatch_source_t;
typedef const struct dispatch_source_type_s* dispatch_source_type_t;
typedef std::uint64_t dispatch_time_t;
typedef void (*dispatch_function_t)(void*);

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_SEC 1000000000ull

extern "C" {

extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

dispatch_queue_t dispatch_get_main_queue(void);
dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t delta);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
[[noreturn]] void dispatch_main(void);

// Signal sources observe a signal without handling it: as with kqueue, the process must set
// the signal to SIG_IGN itself, or its default action runs first.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, std::uintptr_t handle,
                                         std::uintptr_t mask, dispatch_queue_t queue);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_set_context(dispatch_object_t object, void* context);
void dispatch_resume(dispatch_object_t object);
}
