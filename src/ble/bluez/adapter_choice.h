#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ble/bluez/object_tree.h"

namespace norvel::ble::bluez {

// The adapter the central role uses. `wanted` names one by its name, the last element of its
// object path ("hci1"), or by its address in either letter case; a wanted adapter that is not
// there gives none. Without `wanted`: the first powered adapter in object-path order, else the
// first adapter.
std::optional<std::string> chooseAdapter(const ObjectTree& objects,
                                         std::optional<std::string_view> wanted);

}  // namespace norvel::ble::bluez
