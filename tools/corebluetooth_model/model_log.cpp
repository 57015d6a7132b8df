#include "model_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void modelLog(const char* format, ...) {
  static std::FILE* log = [] {
    const char* path = std::getenv("CB_MODEL_LOG");
    std::FILE* file = std::fopen(path != nullptr ? path : "/dev/null", "a");
    if (file != nullptr)
      setvbuf(file, nullptr, _IOLBF, 0);
    return file;
  }();
  if (log == nullptr)
    return;
  std::fprintf(log, "%.3f ", modelNow());
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log, format, arguments);
  va_end(arguments);
  std::fputc('\n', log);
}
