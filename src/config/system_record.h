// Plain records describing show servers: their role, what the registry
// knows of each, and the replication progress a server reports. Values,
// copied wherever they are handed out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace tolvarine::operator_control {

enum class system_role : int32_t { independent = 0, main = 1, backup = 2 };

// "Main", "Backup", "Independent": the spelling used in files and JSON.
std::string_view role_file_name(system_role role);
// "main", "backup", "independent": the spelling of the active-UI label.
std::string_view role_label(system_role role);
// Exactly "Main" or "Backup"; anything else is independent.
system_role role_from_file_name(std::string_view name);

inline constexpr uint16_t kDefaultWebPort = 5000;
inline constexpr uint16_t kControlPort = 1256;

// Replication progress as a server reports it.
struct replication_status {
  bool enabled = false;
  std::string role = "Independent";
  std::string local_serial;
  std::string main_serial;
  int64_t revision = 0;
  int64_t applied_revision = 0;
  int pending_media = 0;
  std::string event_title;
  std::string last_error;
};

// One show server as the registry knows it. The first seven fields are
// persisted; the rest is runtime state.
struct system_record {
  std::string serial;
  std::string workstation;
  std::string address;
  uint16_t web_port = kDefaultWebPort;
  uint16_t control_port = kControlPort;
  system_role role = system_role::independent;
  std::string backup_for_serial;

  bool online = false;
  bool ui_ready = false;
  steady_time last_seen{};  // zero: never seen
  bool replication_enabled = false;
  std::string replication_role = "Independent";
  int64_t replication_revision = 0;
  int64_t replication_applied_revision = 0;
  int replication_pending_media = 0;
  std::string replication_event_title;
  std::string replication_last_error;
};

// One answer to the discovery question.
struct discovered_system {
  std::string address;
  uint16_t web_port = 0;
  std::string workstation;
  std::string serial;
};

}  // namespace tolvarine::operator_control
