// The protection alerts: at most one active alert per key, at most 200
// alerts kept (recovered ones stay visible with their times), and the
// JSON-lines text of each raise, recovery and action result for the alert
// log. Not thread-safe: one owner (the protection service, under its
// mutex). No I/O: raise and recover hand back the log line to write.
//
// Storms stay bounded: at the limit recovered alerts go first; an active
// alert gives way only to one at least as severe (a critical one never to
// a warning). A key that lost its place (or never got one) while active is
// "displaced": raising it again adds nothing and logs at most once a
// minute, until it recovers or there is room again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
inline constexpr int64_t kDisplacedLogIntervalMs = 60000;

class alert_list {
 public:
  // Raises `key` unless it is already active (then nothing changes and the
  // result is empty). A new alert first makes room within the limit: the
  // oldest inactive alert goes, else the oldest of the least severe active
  // alerts no more severe than this one; with no such alert this one is
  // displaced. Returns the fault log line for a new or newly displaced
  // alert (and once a minute for a displaced one), else an empty string.
  std::string raise(std::string_view key, std::string_view message, std::string_view severity,
                    int64_t now_ms);
  // Recovers the active (or displaced) alert of `key`. Returns its recovery
  // log line, or an empty string when no alert of that key is active.
  std::string recover(std::string_view key, int64_t now_ms);
  // Marks every active alert recovered at `now_ms`, without log lines.
  void recover_all_silently(int64_t now_ms);
  void acknowledge_all();

  const std::deque<protection_alert>& entries() const { return alerts_; }
  // The status document's alert list, oldest first (keys are not shown).
  std::string json() const { return json(alerts_); }
  static std::string json(const std::deque<protection_alert>& alerts);

  // The action log line for a result line.
  static std::string action_line(std::string_view message, int64_t now_ms);

 private:
  protection_alert* find_active(std::string_view key);
  // Frees one place for an alert of `severity`; false when none may go.
  bool make_room(std::string_view severity, int64_t now_ms);

  std::deque<protection_alert> alerts_;
  uint64_t next_alert_id_ = 0;
  // Active keys without a place in the list -> when they were last logged.
  std::map<std::string, int64_t, std::less<>> displaced_;
};

}  // namespace tolvarine::operator_control
