#pragma once

#include <optional>
#include <span>
#include <string>

namespace norvel::app {

// The peripheral identifier: the first argument after the program's own path that does not
// begin with "-". Arguments that begin with "-" are skipped uninterpreted; later ones are
// ignored. An empty argument is an identifier (an empty one), not a missing one.
std::optional<std::string> targetFromArguments(std::span<const char* const> arguments);

}  // namespace norvel::app
