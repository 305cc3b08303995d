#include "platform/desktop_notices.h"

namespace tolvarine::operator_control {

std::vector<desktop_notice> alert_notices::take(const std::vector<protection_alert>& alerts) {
  std::vector<desktop_notice> notices;
  const uint64_t seen = last_seen_id_;
  for (const protection_alert& alert : alerts) {
    if (alert.id <= seen) continue;
    if (alert.id > last_seen_id_) last_seen_id_ = alert.id;
    if (alert.key == "transfer") {
      const bool on_backup = alert.message.find("; operating on Backup") != std::string::npos;
      notices.push_back({on_backup ? "Show now runs on the Backup" : "Show back on the Main",
                         alert.message, on_backup});
    } else if (alert.severity == "critical") {
      notices.push_back({"Redundancy alert", alert.message, true});
    }
  }
  return notices;
}

}  // namespace tolvarine::operator_control
