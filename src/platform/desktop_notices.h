// Desktop notifications for what an operator must not miss while the page
// is hidden: operation moving to the Backup or back to the Main, and every
// critical alert. alert_notices picks them from the protection alerts (at
// most one per alert); desktop_notifier shows them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protection/alert_list.h"

namespace tolvarine::operator_control {

struct desktop_notice {
  std::string title;
  std::string body;
  bool critical = false;
};

// Remembers the newest alert it has seen. Not thread-safe: one owner.
class alert_notices {
 public:
  // The notices for alerts raised since the previous call: a "transfer"
  // alert becomes a move notice, a critical alert an alert notice; other
  // alerts (notices, warnings) are passed over.
  std::vector<desktop_notice> take(const std::vector<protection_alert>& alerts);

 private:
  uint64_t last_seen_id_ = 0;
};

// Shows notices through the desktop's notification service. Main thread
// only. Silent where no notification service runs.
class desktop_notifier {
 public:
  virtual ~desktop_notifier() = default;
  virtual void show(const desktop_notice& notice) = 0;
};

// None without a session bus or when built without notification support.
std::unique_ptr<desktop_notifier> make_desktop_notifier();

}  // namespace tolvarine::operator_control
