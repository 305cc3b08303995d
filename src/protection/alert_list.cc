#include "protection/alert_list.h"

#include <algorithm>

#include "config/json_util.h"

namespace tolvarine::operator_control {

protection_alert* alert_list::find_active(std::string_view key) {
  for (auto& a : alerts_) {
    if (a.active && a.key == key) return &a;
  }
  return nullptr;
}

namespace {

int severity_rank(std::string_view severity) {
  if (severity == "critical") return 2;
  return severity == "warning" ? 1 : 0;
}

// Displaced keys are few (one per fault of the policy); this only guards
// against a flood of distinct keys.
constexpr size_t kMaxDisplaced = 1024;

std::string fault_line(std::string_view key, std::string_view message, int64_t now_ms) {
  return "{\"time\":" + std::to_string(now_ms) + ",\"event\":\"fault\",\"key\":\"" +
         json_util::escape(key) + "\",\"message\":\"" + json_util::escape(message) + "\"}\n";
}

}  // namespace

bool alert_list::make_room(std::string_view severity, int64_t now_ms) {
  if (alerts_.size() < kMaxAlerts) return true;
  auto victim = std::find_if(alerts_.begin(), alerts_.end(),
                             [](const protection_alert& a) { return !a.active; });
  if (victim == alerts_.end()) {
    const int rank = severity_rank(severity);
    int lowest = rank + 1;
    for (auto it = alerts_.begin(); it != alerts_.end(); ++it) {
      const int r = severity_rank(it->severity);
      if (r < lowest) {
        lowest = r;
        victim = it;
      }
    }
    if (victim == alerts_.end()) return false;
    if (displaced_.size() < kMaxDisplaced) displaced_.emplace(victim->key, now_ms);
  }
  alerts_.erase(victim);
  return true;
}

std::string alert_list::raise(std::string_view key, std::string_view message,
                              std::string_view severity, int64_t now_ms) {
  if (find_active(key)) return {};
  auto displaced = displaced_.find(key);
  const bool known = displaced != displaced_.end();
  // A displaced key comes back only into a place no active alert holds.
  const bool room = known ? alerts_.size() < kMaxAlerts ||
                                std::any_of(alerts_.begin(), alerts_.end(),
                                            [](const protection_alert& a) { return !a.active; })
                          : true;
  if (!room || !make_room(severity, now_ms)) {
    if (known) {
      if (now_ms - displaced->second < kDisplacedLogIntervalMs) return {};
      displaced->second = now_ms;
    } else if (displaced_.size() < kMaxDisplaced) {
      displaced_.emplace(key, now_ms);
    }
    return fault_line(key, message, now_ms);
  }
  if (known) displaced_.erase(displaced);
  protection_alert a;
  a.id = ++next_alert_id_;
  a.key = key;
  a.message = message;
  a.severity = severity;
  a.started = now_ms;
  a.active = true;
  alerts_.push_back(std::move(a));
  return fault_line(key, message, now_ms);
}

std::string alert_list::recover(std::string_view key, int64_t now_ms) {
  protection_alert* a = find_active(key);
  auto displaced = displaced_.find(key);
  if (!a && displaced == displaced_.end()) return {};
  if (a) {
    a->active = false;
    a->recovered = now_ms;
  } else {
    displaced_.erase(displaced);
  }
  return "{\"time\":" + std::to_string(now_ms) + ",\"event\":\"recovered\",\"key\":\"" +
         json_util::escape(key) + "\"}\n";
}

void alert_list::recover_all_silently(int64_t now_ms) {
  displaced_.clear();
  for (auto& a : alerts_) {
    if (!a.active) continue;
    a.active = false;
    a.recovered = now_ms;
  }
}

void alert_list::acknowledge_all() {
  for (auto& a : alerts_) a.acknowledged = true;
}

std::string alert_list::json(const std::deque<protection_alert>& alerts) {
  std::string out = "[";
  bool first = true;
  for (const auto& a : alerts) {
    if (!first) out += ',';
    first = false;
    out += "{\"id\":" + std::to_string(a.id) + ",\"message\":\"" + json_util::escape(a.message) +
           "\",\"severity\":\"" + json_util::escape(a.severity) +
           "\",\"started\":" + std::to_string(a.started) +
           ",\"recovered\":" + std::to_string(a.recovered) +
           ",\"active\":" + (a.active ? "true" : "false") +
           ",\"acknowledged\":" + (a.acknowledged ? "true" : "false") + "}";
  }
  out += ']';
  return out;
}

std::string alert_list::action_line(std::string_view message, int64_t now_ms) {
  return "{\"time\":" + std::to_string(now_ms) + ",\"event\":\"action\",\"message\":\"" +
         json_util::escape(message) + "\"}\n";
}

}  // namespace tolvarine::operator_control
