// The action thread of protection_service: one outbound sequence at a time,
// each step after its delay, with its attempts, reported as an alert, a
// log line and the last result. mutex_ is held only to take a job, during
// waits and while recording a result; never while resolving, connecting or
// sending.
#include <algorithm>
#include <chrono>

#include "common/prompt_wakeup.h"
#include "protection/control_string.h"
#include "protection/protection_service.h"

namespace tolvarine::operator_control {

void protection_service::action_loop() {
  request_prompt_wakeup();
  while (true) {
    {
      mutex_lock lock(mutex_);
      while (running_ && jobs_.empty()) wake_.wait(lock);
      if (!running_) return;  // queued jobs are dropped
    }
    (void)run_next_job();
  }
}

bool protection_service::run_next_job() {
  job current;
  {
    mutex_lock lock(mutex_);
    if (jobs_.empty()) return false;
    current = std::move(jobs_.front());
    jobs_.pop_front();
    sequence_busy_ = true;
    publish_locked();
  }
  execute_job(current);
  return true;
}

void protection_service::wait_delay(std::chrono::steady_clock::time_point from, int32_t delay_ms) {
  const auto until = from + std::chrono::milliseconds(std::max(delay_ms, 0));
  mutex_lock lock(mutex_);
  while (!stopped_ && std::chrono::steady_clock::now() < until) wake_.wait_until(lock, until);
}

void protection_service::execute_job(const job& j) {
  bool all_ok = true;
  for (const auto& a : j.actions) {
    wait_delay(std::chrono::steady_clock::now(), a.delayMs);
    if (stopped_) break;

    bool ok = false;
    std::string bytes;
    std::string error;
    if (decode_control_string(a.payload, &bytes, &error)) {
      const int attempts = std::max(a.retries, 0) + 1;
      for (int attempt = 0; attempt < attempts && !ok && !stopped_; ++attempt) {
        ok = env_.send(a.host, a.port, a.udp, bytes, a.timeoutMs, &error);
      }
    }

    {
      mutex_lock lock(mutex_);
      const std::string line =
          j.label + " / " + a.name +
          (ok ? std::string(": sent; device execution unconfirmed.") : ": " + error);
      lastAction_ = line;
      alert("action:" + a.name + ":" + a.event, !ok, line, "critical");
      pending_log_.push_back(alert_list::action_line(line, env_.wall()));
      publish_locked();
    }
    flush_alert_log();

    all_ok = all_ok && ok;
    if (!ok) break;  // the remaining steps are not sent
  }
  mutex_lock lock(mutex_);
  sequence_busy_ = false;
  if (all_ok && !stopped_) {
    lastAction_ = j.label + ": sequence sent; device execution unconfirmed.";
  }
  publish_locked();
}

}  // namespace tolvarine::operator_control
