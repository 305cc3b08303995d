// The protection alerts: at most one active alert per key, at most 200
// alerts kept (recovered ones stay visible with their times), and the
// JSON-lines text of each raise, recovery and action result for the alert
// log. Not thread-safe: one owner (the protection service, under its
// mutex). No I/O: raise and recover hand back the log line to write.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace tolvarine::operator_control {

struct protection_alert {
  uint64_t id = 0;
  std::string key;
  std::string message;
  std::string severity;  // "critical", "warning" or "notice"
  int64_t started = 0;   // wall-clock ms since the Unix epoch
  int64_t recovered = 0;  // 0 while active
  bool active = false;
  bool acknowledged = false;
};

inline constexpr size_t kMaxAlerts = 200;

class alert_list {
 public:
  // Raises `key` unless it is already active (then nothing changes and the
  // result is empty). A new alert first makes room within the limit: the
  // oldest inactive alert goes, or the oldest alert when all are active.
  // Returns the fault log line for a new alert, else an empty string.
  std::string raise(std::string_view key, std::string_view message, std::string_view severity,
                    int64_t now_ms);
  // Recovers the active alert of `key`. Returns its recovery log line, or
  // an empty string when no alert of that key is active.
  std::string recover(std::string_view key, int64_t now_ms);
  // Marks every active alert recovered at `now_ms`, without log lines.
  void recover_all_silently(int64_t now_ms);
  void acknowledge_all();

  const std::deque<protection_alert>& entries() const { return alerts_; }
  // The status document's alert list, oldest first (keys are not shown).
  std::string json() const;

  // The action log line for a result line.
  static std::string action_line(std::string_view message, int64_t now_ms);

 private:
  protection_alert* find_active(std::string_view key);

  std::deque<protection_alert> alerts_;
  uint64_t next_alert_id_ = 0;
};

}  // namespace tolvarine::operator_control
