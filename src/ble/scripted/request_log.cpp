#include "ble/scripted/request_log.h"

namespace norvel::ble::scripted {

std::string describe(const std::vector<Uuid>& uuids) {
  std::string text = "[";
  for (std::size_t i = 0; i < uuids.size(); ++i) {
    if (i > 0)
      text += ",";
    text += uuids[i].toString();
  }
  return text + "]";
}

}  // namespace norvel::ble::scripted
