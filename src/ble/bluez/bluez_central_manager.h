#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/bluez_connection.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/sd_event_queue.h"
#include "ble/central_manager.h"

namespace norvel::ble::bluez {

// The central role on one adapter (see chooseAdapter). Every request is sent without
// waiting; its event is delivered from the reply, or from the loop when the request fails
// at once, so none is delivered from inside the request that caused it.
class BluezCentralManager : public CentralManager, private BluezConnection::Listener {
 public:
  BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate);

  // Connects to bluetoothd; the first state event follows its first answer.
  void start() { connection_.start(); }

  // The state carried by the last state event delivered.
  ManagerState state() const override { return state_; }
  // The chosen adapter's devices whose derived identifier is among the identifiers.
  std::vector<Peripheral*> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) override;
  // SetDiscoveryFilter {Transport "le", DuplicateData}, then StartDiscovery. bluetoothd
  // is not asked to filter by service: every device seen is reported.
  void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                      const ScanOptions& options) override;
  void stopScan() override;
  // Device1.Connect; its reply is the connected or the connection-failed event.
  void connectPeripheral(Peripheral& peripheral) override;

  // Sends Device1.Disconnect, without waiting for the reply, to every device this manager
  // asked to connect that was not connected before, then flushes the bus.
  void closeConnections();

 private:
  struct ConnectRequest {
    BluezCentralManager* manager;
    BluezPeripheral* peripheral;
    bool connectedBefore;
    BusSlotPtr slot;
  };

  static int setDiscoveryFilterReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int discoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int connectReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  void objectsChanged(std::string_view sighted) override;
  ManagerState currentState() const;
  void updateAdapter();
  bool isPowered(const std::string& adapter) const;
  BluezPeripheral* peripheralAt(const std::string& path);
  void deliverConnectFailed(BluezPeripheral& peripheral, const Error& error);

  SdEventQueue& queue_;
  CentralManagerDelegate& delegate_;
  BluezConnection connection_;
  const std::optional<std::string> wantedAdapter_;
  std::optional<std::string> adapter_;
  ManagerState state_ = ManagerState::unknown;
  bool scanning_ = false;
  std::map<std::string, std::unique_ptr<BluezPeripheral>, std::less<>> peripherals_;
  // By device path; also what closeConnections disconnects.
  std::map<std::string, ConnectRequest> connectRequests_;
  // SetDiscoveryFilter, then StartDiscovery; or StopDiscovery.
  BusSlotPtr discoveryCall_;
};

}  // namespace norvel::ble::bluez
