// control_config::apply_event_policy: adopting the pairing a Main
// publishes in its event model.
#include "config/control_config.h"

namespace tolvarine::operator_control {

void control_config::apply_event_policy(const event_policy& policy) {
  mutex_lock lock(mutex_);
  // A pairing made on this workstation is never overwritten by the Main's.
  if (!policy.enabled || controller_configured_) return;
  for (system_record& record : systems_) {
    record.role = system_role::independent;
    record.backup_for_serial.clear();
  }
  for (const event_policy_system& system : policy.systems) {
    system_record* record = find_locked(system.serial);
    if (record != nullptr) {
      record->control_port = kControlPort;
      record->role = system.role;
      record->backup_for_serial = system.backup_for_serial;
      if (!system.workstation.empty()) record->workstation = system.workstation;
      // An online record keeps the address it is being reached at.
      if (!system.address.empty() && !record->online) record->address = system.address;
      continue;
    }
    if (systems_.size() >= kMaxSystems) continue;
    system_record added;
    added.serial = system.serial;
    added.workstation = system.workstation;
    added.address = system.address;
    added.role = system.role;
    added.backup_for_serial = system.backup_for_serial;
    added.web_port = kDefaultWebPort;
    added.control_port = kControlPort;
    added.online = false;
    systems_.push_back(std::move(added));
  }
  shared_function_ids_ = policy.shared_function_ids;
  enabled_ = true;
  controller_configured_ = has_configured_pair_locked();
}

}  // namespace tolvarine::operator_control
