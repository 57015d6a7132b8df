#pragma once

#include <string_view>

namespace norvel {

// Every way a run ends goes through here. The production version writes the text and
// ends the process, so a call never returns; test versions record it and return, which
// is why callers return at once after calling.
class RunEnd {
 public:
  virtual ~RunEnd() = default;
  // Writes the document to standard output and ends the run with status 0.
  virtual void succeed(std::string_view document) = 0;
  // Writes one line to standard error and ends the run with the status.
  virtual void fail(std::string_view line, int status) = 0;
};

}  // namespace norvel
