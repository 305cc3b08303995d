// The pairing as a show server publishes it in its event model: plain
// values exchanged between the registry and the event-policy client.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "config/system_record.h"

namespace tolvarine::operator_control {

struct event_policy_system {
  std::string serial;
  std::string workstation;
  std::string address;
  system_role role = system_role::independent;
  std::string backup_for_serial;
};

struct event_policy {
  bool enabled = false;
  std::vector<event_policy_system> systems;
  std::set<int> shared_function_ids;
  int64_t replication_revision = 0;
};

}  // namespace tolvarine::operator_control
