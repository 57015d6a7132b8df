#include "app/arguments.h"

namespace norvel::app {

std::optional<std::string> targetFromArguments(std::span<const char* const> arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const char* argument = arguments[i];
    if (argument[0] != '-')
      return std::string(argument);
  }
  return std::nullopt;
}

}  // namespace norvel::app
