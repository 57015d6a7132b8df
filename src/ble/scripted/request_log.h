#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ble/uuid.h"

namespace norvel::ble::scripted {

// Every request made of the scripted stack, in order, one readable line each.
class RequestLog {
 public:
  void add(std::string line) { lines_.push_back(std::move(line)); }
  const std::vector<std::string>& lines() const { return lines_; }
  void clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

// "[A,B]" with each UUID in canonical text.
std::string describe(const std::vector<Uuid>& uuids);

}  // namespace norvel::ble::scripted
