#include "ble/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace norvel {
namespace {

const auto processStart = std::chrono::steady_clock::now();

bool enabledByEnvironment() {
  const char* value = std::getenv("NORVEL_DEBUG");
  return value != nullptr && std::string_view(value) != "" && std::string_view(value) != "0";
}

}  // namespace

bool traceEnabled() {
  static const bool enabled = enabledByEnvironment();
  return enabled;
}

void trace(const char* format, ...) {
  if (!traceEnabled())
    return;
  const std::chrono::duration<double> since = std::chrono::steady_clock::now() - processStart;
  char line[1024];
  int length = std::snprintf(line, sizeof line, "[%8.3f] ", since.count());
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line + length, sizeof line - static_cast<std::size_t>(length), format, arguments);
  va_end(arguments);
  // One write per line, so that lines never interleave with the final message.
  std::fprintf(stderr, "%s\n", line);
}

}  // namespace norvel
