#include "app/process_run_end.h"

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ble/trace.h"

namespace norvel::app {

int writeResult(std::FILE* out, std::FILE* err, std::string_view document) {
  errno = 0;
  const bool written = std::fwrite(document.data(), 1, document.size(), out) == document.size();
  // The flush is where a full disk or a closed pipe shows up for buffered output.
  if (written && std::fflush(out) == 0)
    return 0;
  const int cause = errno != 0 ? errno : EIO;
  const std::string line =
      std::string("Error: Failed to write output: ") + std::strerror(cause) + "\n";
  std::fputs(line.c_str(), err);
  return 1;
}

// The clean-up comes first on every way out, so that its trace lines come before the result
// and a failure's message is the last line on standard error.
void ProcessRunEnd::succeed(std::string_view document) {
  runCleanup();
  trace("the run ends with the document");
  std::exit(writeResult(stdout, stderr, document));
}

void ProcessRunEnd::fail(std::string_view line, int status) {
  runCleanup();
  trace("the run ends with status %d", status);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::exit(status);
}

void ProcessRunEnd::endBySignal(int signal) {
  runCleanup();
  trace("the run ends by signal %d", signal);
  std::fflush(nullptr);
  std::signal(signal, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, signal);
  // The signal was blocked so that the loop could read it: raise it again, unblocked.
  sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  std::raise(signal);
  std::_Exit(128 + signal);
}

void ProcessRunEnd::runCleanup() {
  if (cleanup_) {
    auto cleanup = std::move(cleanup_);
    cleanup();
  }
}

}  // namespace norvel::app
