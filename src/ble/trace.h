#pragma once

namespace norvel {

// The debug trace. With NORVEL_DEBUG set to anything but empty or "0", each step of a run
// writes one line to standard error, after the seconds since the process started, so that a
// stuck or failed run can be read afterwards. Without it nothing is written and a call costs
// one test of a flag. Every place that drops a reply, a message or an error says so here.
bool traceEnabled();

// One line, formatted as printf does; the newline is added.
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...);

}  // namespace norvel
