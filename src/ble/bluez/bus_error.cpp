#include "ble/bluez/bus_error.h"

#include <cstring>

namespace norvel::ble::bluez {

const sd_bus_error* replyError(sd_bus_message* reply) {
  if (reply == nullptr)
    return nullptr;
  return sd_bus_message_get_error(reply);
}

bool isAccessDenied(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED) > 0;
}

Error toBleError(const sd_bus_error& error) {
  if (error.message != nullptr && error.message[0] != '\0')
    return Error{error.message};
  return Error{error.name != nullptr ? error.name : ""};
}

Error errnoError(int negativeErrno) {
  return Error{std::strerror(-negativeErrno)};
}

}  // namespace norvel::ble::bluez
