#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <memory>

namespace norvel::ble::bluez {

template <typename Handle, Handle* (*release)(Handle*)>
struct SdRelease {
  void operator()(Handle* handle) const { release(handle); }
};

// One owning pointer per libsystemd handle type, each released with its own unref call.
using EventPtr = std::unique_ptr<sd_event, SdRelease<sd_event, sd_event_unref>>;
// Disabled as well as released, so a source still referenced elsewhere never fires again.
using EventSourcePtr =
    std::unique_ptr<sd_event_source, SdRelease<sd_event_source, sd_event_source_disable_unref>>;
// Closed as well as released: nothing is sent or received on it afterwards.
using BusPtr = std::unique_ptr<sd_bus, SdRelease<sd_bus, sd_bus_close_unref>>;
using BusSlotPtr = std::unique_ptr<sd_bus_slot, SdRelease<sd_bus_slot, sd_bus_slot_unref>>;
using BusMessagePtr =
    std::unique_ptr<sd_bus_message, SdRelease<sd_bus_message, sd_bus_message_unref>>;

}  // namespace norvel::ble::bluez
