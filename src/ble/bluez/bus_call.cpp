#include "ble/bluez/bus_call.h"

#include <cstring>

namespace norvel::ble::bluez {

Error toBleError(const sd_bus_error& error) {
  if (error.message != nullptr && error.message[0] != '\0')
    return Error{error.message};
  return Error{error.name != nullptr ? error.name : ""};
}

Error errnoError(int negativeErrno) {
  return Error{std::strerror(-negativeErrno)};
}

}  // namespace norvel::ble::bluez
