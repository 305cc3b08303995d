#include "app/refresh_status.h"

namespace tolvarine::operator_control {
namespace {

const char* role_word(system_role role) {
  switch (role) {
    case system_role::main: return "Main";
    case system_role::backup: return "Backup";
    default: return "Independent";
  }
}

const char* one_zero(bool b) { return b ? "1" : "0"; }
const char* true_false(bool b) { return b ? "true" : "false"; }

}  // namespace

event_policy merge_published_policies(const std::vector<event_policy>& policies) {
  event_policy merged;
  merged.enabled = true;
  bool main_seen = false;
  for (const event_policy& policy : policies) {
    bool has_main = false;
    for (const event_policy_system& incoming : policy.systems) {
      if (incoming.role == system_role::main) has_main = true;
      event_policy_system* existing = nullptr;
      for (auto& s : merged.systems) {
        if (s.serial == incoming.serial) {
          existing = &s;
          break;
        }
      }
      if (!existing) {
        merged.systems.push_back(incoming);
        continue;
      }
      if (!incoming.workstation.empty()) existing->workstation = incoming.workstation;
      if (!incoming.address.empty()) existing->address = incoming.address;
      if (!incoming.backup_for_serial.empty()) existing->backup_for_serial = incoming.backup_for_serial;
      if (incoming.role != system_role::independent) existing->role = incoming.role;
    }
    if (!policy.shared_function_ids.empty() && (has_main || !main_seen)) {
      merged.shared_function_ids = policy.shared_function_ids;
      if (has_main) main_seen = true;
    }
  }
  event_policy_system* main = nullptr;
  event_policy_system* backup = nullptr;
  int mains = 0, backups = 0;
  for (auto& s : merged.systems) {
    if (s.role == system_role::main) {
      ++mains;
      main = &s;
    } else if (s.role == system_role::backup) {
      ++backups;
      backup = &s;
    }
  }
  if (mains == 1 && backups == 1 && backup->backup_for_serial.empty()) {
    backup->backup_for_serial = main->serial;
  }
  return merged;
}

std::string status_signature(bool enabled, const std::string& active_label,
                             const std::vector<system_record>& systems) {
  std::string sig = one_zero(enabled);
  sig += "|" + active_label + "|";
  for (const auto& s : systems) {
    sig += s.serial + "|" + role_word(s.role) + "|" + one_zero(s.online) + "|" + one_zero(s.ui_ready) +
           "|" + s.address + "|" + std::to_string(s.web_port) + "|" + s.backup_for_serial + ";";
  }
  return sig;
}

std::string status_lines(bool enabled, const std::string& active_label,
                         const std::vector<system_record>& systems) {
  std::string out = "[status] enabled=" + std::string(true_false(enabled)) + " active=" + active_label + "\n";
  for (const auto& s : systems) {
    out += "[status] " + s.serial + " role=" + role_word(s.role) + " online=" + true_false(s.online) +
           " uiReady=" + true_false(s.ui_ready) + " address=" + s.address +
           " web=" + std::to_string(s.web_port) + " control=1256";
    if (!s.backup_for_serial.empty()) out += " backupFor=" + s.backup_for_serial;
    out += "\n";
  }
  return out;
}

std::string server_label(const char* role, const std::optional<system_record>& server) {
  if (!server) return std::string(role) + ": Not configured";
  const std::string& name = server->workstation.empty() ? server->serial : server->workstation;
  const char* state = server->ui_ready ? "Ready" : server->online ? "Starting" : "Offline";
  return std::string(role) + ": " + name + " - " + state;
}

std::string sync_label(bool enabled, const std::string& active_label, bool policy_synchronized,
                       const std::optional<system_record>& main,
                       const std::optional<system_record>& backup) {
  if (!enabled) return "Show Sync: Disabled";
  if (active_label == "backup") return "Show Sync: Backup Active";
  if (!policy_synchronized) return "Show Sync: Pairing Pending";
  if (main && backup && main->ui_ready && backup->ui_ready) {
    const int64_t revision = main->replication_revision;
    if (revision >= 1 && backup->replication_applied_revision == revision &&
        backup->replication_pending_media == 0) {
      return "Show Sync: In Sync - Rev " + std::to_string(revision);
    }
    return "Show Sync: Syncing " + std::to_string(backup->replication_applied_revision) + "/" +
           std::to_string(revision);
  }
  return "Show Sync: Degraded";
}

}  // namespace tolvarine::operator_control
