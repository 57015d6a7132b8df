#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/bluetoothd_client.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/sd_event_queue.h"
#include "ble/central_manager.h"

namespace norvel::ble::bluez {

// The central role on one adapter (see chooseAdapter). Every request is sent without
// waiting; its event is delivered from the reply, or from the loop when the request fails
// at once, so none is delivered from inside the request that caused it.
class BluezCentralManager : public CentralManager, private BluetoothdClient::Listener {
 public:
  BluezCentralManager(SdEventQueue& queue, CentralManagerDelegate& delegate);

  // Connects to bluetoothd; the first state event follows its first answer.
  void start() { bluetoothd_.start(); }

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
  // Device1.Connect; its reply is the connected or the connection-failed event. An attempt
  // that bluetoothd gave up for a passing local reason, or that collided with another
  // client's attempt at the same device, is made again (see connectReply), as is a link lost
  // before the services are resolved: the request stays pending, as a central's does, until
  // the device connects, a real failure, or the process ends.
  void connectPeripheral(Peripheral& peripheral) override;

  // Sends Device1.Disconnect, without waiting for the reply, to every device this manager
  // asked to connect that was not connected before, then flushes the bus.
  void closeConnections();

 private:
  // One device this manager was asked to connect; at most one Connect in flight for it.
  struct ConnectRequest {
    BluezCentralManager* manager;
    BluezPeripheral* peripheral;
    // Left connected at the end: connected before the run, or by another client.
    bool connectedBefore;
    // The delegate still waits for the connected or the connection-failed event.
    bool answerOwed = true;
    // bluetoothd reported the device connected since the last Connect was sent, so a later
    // Connected=false is the link going down.
    bool sawConnected = false;
    // Connected, services not yet resolved: a link lost now is connected again.
    bool awaitingServices = false;
    // The last attempt failed because another client was connecting the device.
    bool collided = false;
    // The next attempt waits for the device to be in bluetoothd's tree again.
    bool awaitingDevice = false;
    int attempts = 0;
    BusSlotPtr call{};
    EventSourcePtr retry{};
  };

  static int setDiscoveryFilterReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int startDiscoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int stopDiscoveryReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int connectReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int retryDue(sd_event_source* source, std::uint64_t usec, void* userdata);

  void objectsChanged(std::string_view sighted) override;
  ManagerState currentState() const;
  void updateAdapter();
  bool isPowered(const std::string& adapter) const;
  BluezPeripheral* peripheralAt(const std::string& path);
  void reportSighting(std::string_view path);
  void sendConnect(ConnectRequest& request);
  void retryLater(ConnectRequest& request, const char* why);
  void followConnection(ConnectRequest& request);
  void deliverConnectFailed(ConnectRequest& request, const Error& error);

  SdEventQueue& queue_;
  CentralManagerDelegate& delegate_;
  BluetoothdClient bluetoothd_;
  const std::optional<std::string> wantedAdapter_;
  std::optional<std::string> adapter_;
  ManagerState state_ = ManagerState::unknown;
  bool scanning_ = false;
  std::map<std::string, std::unique_ptr<BluezPeripheral>, std::less<>> peripherals_;
  // By device path; also what closeConnections disconnects.
  std::map<std::string, ConnectRequest> connectRequests_;
  // SetDiscoveryFilter, then StartDiscovery; or StopDiscovery.
  BusSlotPtr discoveryCall_;
  // The devices already described in the trace, each once.
  std::set<std::string, std::less<>> tracedSightings_;
};

}  // namespace norvel::ble::bluez
