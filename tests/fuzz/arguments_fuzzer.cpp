// The argument walk over any argument vector: the input split at NUL bytes, each argument in
// its own allocation of exactly its size, so that a read past one is caught.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<const char*> argv;
  std::optional<std::string> expected;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start < input.size()) {
    const std::string_view argument = input.substr(start, input.find('\0', start) - start);
    storage.push_back(std::make_unique<char[]>(argument.size() + 1));
    argument.copy(storage.back().get(), argument.size());
    argv.push_back(storage.back().get());
    if (argv.size() > 1 && !expected && !argument.starts_with('-'))
      expected = std::string(argument);
    start += argument.size() + 1;
  }
  if (norvel::app::targetFromArguments(argv) != expected)
    std::abort();
  return 0;
}
