#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/bluez_connection.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/sd_event_queue.h"
#include "ble/central_manager.h"

namespace norvel::ble::bluez {

// The central role on one adapter (see chooseAdapter). Every request is sent
// without waiting, and every event is posted to the main queue, so none is delivered from
// inside the request that caused it.
class BluezCentralManager : public CentralManager,
                            public BluezConnection::Listener,
                            public std::enable_shared_from_this<BluezCentralManager> {
 public:
  BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate);
  BluezCentralManager(const BluezCentralManager&) = delete;
  BluezCentralManager& operator=(const BluezCentralManager&) = delete;
  ~BluezCentralManager() override;

  // Connects to bluetoothd; the first state event follows its first answer.
  void start();

  // The state carried by the last state event delivered.
  ManagerState state() const override { return reportedState_; }
  // The chosen adapter's devices whose derived identifier is among the identifiers.
  std::vector<std::shared_ptr<Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) override;
  // SetDiscoveryFilter {Transport "le", DuplicateData}, then StartDiscovery. bluetoothd
  // is not asked to filter by service: every device seen is reported.
  void scanForPeripheralsWithServices(const std::optional<std::vector<Uuid>>& services,
                                      const ScanOptions& options) override;
  void stopScan() override;
  // Device1.Connect; its reply is the connected or the connection-failed event.
  void connectPeripheral(const std::shared_ptr<Peripheral>& peripheral) override;

  // Sends Device1.Disconnect, without waiting for the reply, to every device this manager
  // asked to connect that was not connected before, then flushes the bus.
  void closeConnections();

 private:
  void objectsChanged(const ObjectsChange& change) override;

  ManagerState currentState() const;
  void updateState();
  std::optional<std::string> adapterPath() const;
  void updateAdapter();
  bool isSighting(const ObjectsChange& change, const std::string& adapter) const;
  std::shared_ptr<BluezPeripheral> peripheralAt(const std::string& path);

  void setDiscoveryFilterReply(const std::string& adapter, sd_bus_message* reply);
  void startDiscoveryReply(sd_bus_message* reply);
  void stopDiscoveryReply(sd_bus_message* reply);
  void connectReply(const std::shared_ptr<BluezPeripheral>& peripheral, sd_bus_message* reply);
  // True, after noting it, when the reply refuses access.
  bool refusedAccess(sd_bus_message* reply);

  void deliverState(ManagerState state);
  void deliverDiscovery(std::shared_ptr<BluezPeripheral> peripheral, int rssi);
  void deliverConnected(std::shared_ptr<Peripheral> peripheral);
  void deliverConnectFailed(std::shared_ptr<Peripheral> peripheral, Error error);

  SdEventQueue& queue_;
  CentralManagerDelegate& delegate_;
  std::shared_ptr<BluezConnection> connection_;
  // NORVEL_ADAPTER, read once.
  std::optional<std::string> wantedAdapter_;
  std::optional<std::string> adapter_;
  // The state most recently posted, and the one its delivered event carried.
  ManagerState postedState_ = ManagerState::unknown;
  ManagerState reportedState_ = ManagerState::unknown;
  bool scanning_ = false;
  std::map<std::string, std::shared_ptr<BluezPeripheral>> peripherals_;
  // Device path to whether it was connected when this manager first asked to connect it.
  std::map<std::string, bool> connectRequests_;
};

}  // namespace norvel::ble::bluez
