#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "reader/run_end.h"

namespace norvel::testing {

// How a run ended: exit status and what it wrote on standard output and standard error.
struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "{status " << o.status << ", out \"" << o.out << "\", err \"" << o.err << "\"}";
  }
};

// Records each ending instead of leaving the process, so a test sees every way a run ends.
class RecordingRunEnd : public RunEnd {
 public:
  void succeed(std::string_view document) override {
    endings.push_back({0, std::string(document), ""});
  }
  void fail(std::string_view line, int status) override {
    endings.push_back({status, "", std::string(line)});
  }

  std::vector<Outcome> endings;
};

}  // namespace norvel::testing
