#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <string>

namespace norvel::ble::bluez {

// Decides which messages from the bus are believed; every message turned away is traced.
//
// Only bluetoothd is believed. A match rule's sender filters broadcasts alone: a signal sent
// to this process directly arrives whoever sent it. So bluetoothd's signals count only when
// their sender is the unique name that owns org.bluez, and the bus's own signals (a change of
// that owner) only when the bus sent them. sd-bus matches a reply to its call by serial alone,
// so on a permissive bus anyone could answer for bluetoothd: a reply counts only from
// bluetoothd, the bus (a call it could not deliver) or sd-bus itself (a timeout), and a call
// answered by anyone else stays unanswered.
class BusGate {
 public:
  // `denied` runs once, when the bus policy first refuses a call.
  explicit BusGate(std::function<void()> denied) : denied_(std::move(denied)) {}

  // The unique name that owns org.bluez; empty while nobody does.
  void setBluetoothd(std::string owner) { bluetoothd_ = std::move(owner); }
  const std::string& bluetoothd() const { return bluetoothd_; }
  // Whether the bus policy has refused a call: this process may not use Bluetooth.
  bool accessDenied() const { return accessDenied_; }

  // Whether to act on the reply to `call`. The bus policy's refusal is not acted on either:
  // it is noted for good instead.
  bool believeReply(sd_bus_message* reply, const char* call);
  bool believeSignal(sd_bus_message* signal);

 private:
  std::function<void()> denied_;
  std::string bluetoothd_;
  bool accessDenied_ = false;
};

}  // namespace norvel::ble::bluez
