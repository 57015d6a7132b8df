#pragma once

#include <memory>

#include "ble/bluetooth.h"
#include "ble/scripted/request_log.h"
#include "ble/scripted/scripted_central_manager.h"

namespace norvel::ble::scripted {

// The stack behind tests: one scripted central manager, and the log of all requests.
class ScriptedBluetooth : public Bluetooth {
 public:
  std::shared_ptr<CentralManager> makeCentralManager(CentralManagerDelegate& delegate) override {
    central_ = std::make_shared<ScriptedCentralManager>(log_, delegate);
    return central_;
  }

  RequestLog& log() { return log_; }
  // The manager made last; null before any was made.
  ScriptedCentralManager* central() { return central_.get(); }

 private:
  RequestLog log_;
  std::shared_ptr<ScriptedCentralManager> central_;
};

}  // namespace norvel::ble::scripted
