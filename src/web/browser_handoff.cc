#include "web/browser_handoff.h"

#include <algorithm>

namespace tolvarine::operator_control {
namespace {

// A waiting reuse call re-reads the clock at least this often, so a
// stepped test clock is noticed without a notification.
constexpr std::chrono::milliseconds kWaitSlice{50};

}  // namespace

browser_handoff::browser_handoff(steady_clock_fn clock)
    : clock_(clock ? std::move(clock) : steady_clock_fn(steady_now)) {}

browser_handoff::request* browser_handoff::live_locked(steady_time now) {
  if (!current_ || current_->acknowledged || now >= current_->deadline) return nullptr;
  return current_.get();
}

browser_handoff::reuse_outcome browser_handoff::reuse(bool configure) {
  mutex_lock lock(mutex_);
  const steady_time now = clock_();
  std::shared_ptr<request> mine;
  bool joined = false;
  if (live_locked(now)) {
    mine = current_;
    mine->configure = mine->configure || configure;
    joined = true;
  } else {
    mine = std::make_shared<request>();
    mine->id = std::to_string(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    mine->deadline = now + kDeadline;
    mine->configure = configure;
    current_ = mine;
  }
  while (!mine->acknowledged) {
    const steady_time t = clock_();
    if (t >= mine->deadline) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mine->deadline - t);
    changed_.wait_for(lock, std::clamp(left, std::chrono::milliseconds(1), kWaitSlice));
  }
  return {mine->acknowledged, !mine->acknowledged && !joined};
}

std::string browser_handoff::poll() {
  mutex_lock lock(mutex_);
  request* pending = live_locked(clock_());
  if (!pending || pending->delivered) return {};
  pending->delivered = true;
  return pending->id;
}

std::optional<bool> browser_handoff::acknowledge(std::string_view id) {
  mutex_lock lock(mutex_);
  request* pending = current_.get();
  if (id.empty() || !pending || !pending->delivered || pending->id != id ||
      clock_() >= pending->deadline) {
    return std::nullopt;
  }
  pending->acknowledged = true;
  changed_.notify_all();
  return pending->configure;
}

}  // namespace tolvarine::operator_control
