#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

#include "reader/run_end.h"

namespace norvel::app {

// Writes the result document to `out`; if it cannot be written whole, says so on `err`.
// Returns the exit status the run ends with.
int writeResult(std::FILE* out, std::FILE* err, std::string_view document);

// Ends the process: runs the Bluetooth clean-up, writes the text, then calls exit.
class ProcessRunEnd : public RunEnd {
 public:
  // Runs just before the process exits, on every way out; it must be short and bounded.
  void setCleanup(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }

  [[noreturn]] void succeed(std::string_view document) override;
  [[noreturn]] void fail(std::string_view line, int status) override;
  // A termination signal: no message. After the clean-up the process dies by the signal
  // itself, so that a calling shell sees it (and a loop stops on Ctrl-C); shells report
  // 128 + signal.
  [[noreturn]] void endBySignal(int signal);

 private:
  void runCleanup();

  std::function<void()> cleanup_;
};

}  // namespace norvel::app
