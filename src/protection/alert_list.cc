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

std::string alert_list::raise(std::string_view key, std::string_view message,
                              std::string_view severity, int64_t now_ms) {
  if (find_active(key)) return {};
  if (alerts_.size() >= kMaxAlerts) {
    auto victim = std::find_if(alerts_.begin(), alerts_.end(),
                               [](const protection_alert& a) { return !a.active; });
    alerts_.erase(victim == alerts_.end() ? alerts_.begin() : victim);
  }
  protection_alert a;
  a.id = ++next_alert_id_;
  a.key = key;
  a.message = message;
  a.severity = severity;
  a.started = now_ms;
  a.active = true;
  alerts_.push_back(std::move(a));
  return "{\"time\":" + std::to_string(now_ms) + ",\"event\":\"fault\",\"key\":\"" +
         json_util::escape(key) + "\",\"message\":\"" + json_util::escape(message) + "\"}\n";
}

std::string alert_list::recover(std::string_view key, int64_t now_ms) {
  protection_alert* a = find_active(key);
  if (!a) return {};
  a->active = false;
  a->recovered = now_ms;
  return "{\"time\":" + std::to_string(now_ms) + ",\"event\":\"recovered\",\"key\":\"" +
         json_util::escape(key) + "\"}\n";
}

void alert_list::recover_all_silently(int64_t now_ms) {
  for (auto& a : alerts_) {
    if (!a.active) continue;
    a.active = false;
    a.recovered = now_ms;
  }
}

void alert_list::acknowledge_all() {
  for (auto& a : alerts_) a.acknowledged = true;
}

std::string alert_list::json() const {
  std::string out = "[";
  bool first = true;
  for (const auto& a : alerts_) {
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
