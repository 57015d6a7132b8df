#pragma once

#include <string>

namespace norvel::ble {

// A failure reported by the Bluetooth stack, with the text the stack gives for it.
struct Error {
  std::string localizedDescription;
};

}  // namespace norvel::ble
