// The argument walk over any argument vector: the input split at NUL bytes, each argument in
// its own allocation of exactly its size, so that a read past one is caught.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<const char*> argv;
  std::optional<std::string> expected;
  for (std::size_t start = 0, end = 0; start < input.size(); start = end + 1) {
    end = std::min(input.find('\0', start), input.size());
    const std::string_view argument = input.substr(start, end - start);
    argv.push_back(storage.emplace_back(std::make_unique<char[]>(argument.size() + 1)).get());
    argument.copy(storage.back().get(), argument.size());
    if (argv.size() > 1 && !expected && !argument.starts_with('-'))
      expected = std::string(argument);
  }
  if (norvel::app::targetFromArguments(argv) != expected)
    std::abort();
  return 0;
}
