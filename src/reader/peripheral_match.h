#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ble/central_manager.h"

namespace norvel {

// The name a scanned peripheral is judged by: its own name when it has one (even an empty
// one), else the advertised local name when that is text, else the empty text.
std::string candidateName(const std::optional<std::string>& peripheralName,
                          const ble::AdvertisementData& advertisementData);

// Whether a scanned peripheral is the one to connect to: with a non-empty `targetUUIDString`,
// only the peripheral's identifier counts (letter case ignored); without one, a name holding
// "Norvel" in any letter case.
bool peripheralQualifies(const std::optional<std::string>& targetUUIDString,
                         const ble::Uuid& identifier, std::string_view name);

}  // namespace norvel
