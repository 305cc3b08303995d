// Injectable clocks. Behaviour that depends on time reads it through these
// so tests can step it; production code passes the defaults.
#pragma once

#include <chrono>
#include <functional>

namespace tolvarine::operator_control {

using steady_time = std::chrono::steady_clock::time_point;
using steady_clock_fn = std::function<steady_time()>;

inline steady_time steady_now() { return std::chrono::steady_clock::now(); }

// Wall-clock milliseconds since the Unix epoch (alert times, alert log).
inline long long wall_ms_now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tolvarine::operator_control
