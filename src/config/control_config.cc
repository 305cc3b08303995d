#include "config/control_config.h"

#include <algorithm>

#include "common/atomic_file.h"
#include "config/json_util.h"

namespace tolvarine::operator_control {
namespace {

constexpr std::chrono::nanoseconds kOnlineWindow{6'000'000'000};

const std::set<int> kDefaultSharedFunctions = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                               13, 14, 15, 16, 17, 24, 25, 26, 27, 28, 29};

const char* flag(bool b) { return b ? "true" : "false"; }

bool forms_configured_pair(const std::vector<system_record>& systems) {
  const system_record* main = nullptr;
  for (const auto& s : systems) {
    if (s.role == system_role::main) {
      main = &s;
      break;
    }
  }
  if (!main) return false;
  for (const auto& s : systems) {
    if (s.role == system_role::backup && s.backup_for_serial == main->serial) return true;
  }
  return false;
}

}  // namespace

control_config::control_config(std::string path, steady_clock_fn clock)
    : path_(std::move(path)), clock_(std::move(clock)) {
  mutex_lock lock(mutex_);
  shared_function_ids_ = kDefaultSharedFunctions;
}

void control_config::load() {
  std::string text;
  if (!read_file(path_, &text)) return;

  std::vector<system_record> loaded;
  for (const std::string& object : json_util::object_array(text, "systems")) {
    system_record r;
    r.serial = json_util::string_value(object, "serial", "");
    r.workstation = json_util::string_value(object, "workstation", "");
    r.address = json_util::string_value(object, "address", "");
    if (auto port = json_util::integer_value(object, "webPort")) r.web_port = static_cast<uint16_t>(*port);
    r.role = role_from_file_name(json_util::string_value(object, "role", ""));
    r.backup_for_serial = json_util::string_value(object, "backupForSerial", "");
    if (r.serial.empty() && r.address.empty()) continue;
    loaded.push_back(std::move(r));
  }
  const std::set<int> shared = json_util::int_array(text, "sharedFunctionIds");
  const size_t enabled_at = json_util::value_start(text, "enabled");
  const bool enabled = enabled_at != json_util::npos && text.compare(enabled_at, 4, "true") == 0;
  uint16_t ui_port = kDefaultUiPort;
  if (auto port = json_util::integer_value(text, "uiPort"); port && *port >= 1024 && *port <= 65535) {
    ui_port = static_cast<uint16_t>(*port);
  }
  const bool configured = json_util::bool_value(text, "controllerConfigured", forms_configured_pair(loaded));

  mutex_lock lock(mutex_);
  systems_ = std::move(loaded);
  enabled_ = enabled;
  controller_configured_ = configured;
  ui_port_ = ui_port;
  runtime_ui_port_ = ui_port;
  if (!shared.empty()) shared_function_ids_ = shared;
}

void control_config::save() const {
  mutex_lock save_lock(save_mutex_);
  // Failure is silent by design: the previous file stays in place.
  (void)replace_file(path_, to_json());
}

std::string control_config::to_json() const {
  mutex_lock lock(mutex_);
  std::string out;
  out.reserve(256 + systems_.size() * 400);
  out += "{\"enabled\":";
  out += flag(enabled_);
  out += ",\"controllerConfigured\":";
  out += flag(controller_configured_);
  out += ",\"uiPort\":" + std::to_string(ui_port_);
  out += ",\"runtimeUiPort\":" + std::to_string(runtime_ui_port_);
  out += ",\"systems\":[";
  bool first = true;
  for (const auto& s : systems_) {
    if (!first) out += ',';
    first = false;
    out += "{\"serial\":\"" + json_util::escape(s.serial);
    out += "\",\"workstation\":\"" + json_util::escape(s.workstation);
    out += "\",\"address\":\"" + json_util::escape(s.address);
    out += "\",\"webPort\":" + std::to_string(s.web_port);
    out += ",\"controlPort\":1256,\"role\":\"";
    out += role_file_name(s.role);
    out += "\",\"backupForSerial\":\"" + json_util::escape(s.backup_for_serial);
    out += "\",\"online\":";
    out += flag(s.online);
    out += ",\"uiReady\":";
    out += flag(s.ui_ready);
    out += ",\"replicationEnabled\":";
    out += flag(s.replication_enabled);
    out += ",\"replicationRole\":\"" + json_util::escape(s.replication_role);
    out += "\",\"replicationRevision\":" + std::to_string(s.replication_revision);
    out += ",\"replicationAppliedRevision\":" + std::to_string(s.replication_applied_revision);
    out += ",\"replicationPendingMedia\":" + std::to_string(s.replication_pending_media);
    out += ",\"replicationEventTitle\":\"" + json_util::escape(s.replication_event_title);
    out += "\",\"replicationLastError\":\"" + json_util::escape(s.replication_last_error);
    out += "\"}";
  }
  out += "],\"sharedFunctionIds\":[";
  first = true;
  for (int id : shared_function_ids_) {
    if (!first) out += ',';
    first = false;
    out += std::to_string(id);
  }
  out += "],\"policySynchronized\":";
  out += flag(policy_synchronized_);
  out += ",\"policySyncMessage\":\"" + json_util::escape(policy_sync_message_) + "\"}";
  return out;
}

bool control_config::enabled() const {
  mutex_lock lock(mutex_);
  return enabled_;
}

bool control_config::controller_configured() const {
  mutex_lock lock(mutex_);
  return controller_configured_;
}

bool control_config::has_configured_pair() const {
  mutex_lock lock(mutex_);
  return has_configured_pair_locked();
}

bool control_config::has_configured_pair_locked() const { return forms_configured_pair(systems_); }

uint16_t control_config::ui_port() const {
  mutex_lock lock(mutex_);
  return ui_port_;
}

std::vector<uint16_t> control_config::served_ui_ports() const {
  mutex_lock lock(mutex_);
  if (served_ui_ports_.empty()) return {ui_port_};
  return served_ui_ports_;
}

uint16_t control_config::runtime_ui_port() const {
  mutex_lock lock(mutex_);
  return runtime_ui_port_;
}

std::vector<system_record> control_config::systems() const {
  mutex_lock lock(mutex_);
  return systems_;
}

std::set<int> control_config::shared_functions() const {
  mutex_lock lock(mutex_);
  return shared_function_ids_;
}

system_record* control_config::find_locked(const std::string& serial) {
  for (auto& s : systems_) {
    if (s.serial == serial) return &s;
  }
  return nullptr;
}

const system_record* control_config::find_locked(const std::string& serial) const {
  for (const auto& s : systems_) {
    if (s.serial == serial) return &s;
  }
  return nullptr;
}

std::optional<system_record> control_config::find(const std::string& serial) const {
  mutex_lock lock(mutex_);
  if (const system_record* r = find_locked(serial)) return *r;
  return std::nullopt;
}

std::optional<system_record> control_config::main_system() const {
  mutex_lock lock(mutex_);
  for (const auto& s : systems_) {
    if (s.role == system_role::main) return s;
  }
  return std::nullopt;
}

std::optional<system_record> control_config::backup_for(const std::string& serial) const {
  mutex_lock lock(mutex_);
  for (const auto& s : systems_) {
    if (s.role == system_role::backup && s.backup_for_serial == serial) return s;
  }
  return std::nullopt;
}

void control_config::set_ui_port(uint16_t port) {
  if (port < 1024) return;
  mutex_lock lock(mutex_);
  ui_port_ = port;
}

void control_config::set_runtime_ui_port(uint16_t port) {
  mutex_lock lock(mutex_);
  runtime_ui_port_ = port;
  if (std::find(served_ui_ports_.begin(), served_ui_ports_.end(), port) == served_ui_ports_.end()) {
    served_ui_ports_.push_back(port);
  }
}

void control_config::configure_pair(bool enabled, const std::string& main_serial,
                                    const std::string& backup_serial) {
  mutex_lock lock(mutex_);
  enabled_ = enabled;
  controller_configured_ = true;
  if (!main_serial.empty() && !backup_serial.empty() && main_serial != backup_serial &&
      find_locked(main_serial) && find_locked(backup_serial)) {
    for (auto& s : systems_) {
      s.role = system_role::independent;
      s.backup_for_serial.clear();
    }
    find_locked(main_serial)->role = system_role::main;
    system_record* backup = find_locked(backup_serial);
    backup->role = system_role::backup;
    backup->backup_for_serial = main_serial;
  }
  policy_synchronized_ = false;
  policy_sync_message_ = enabled ? "Waiting to synchronize pairing with Main."
                                 : "Waiting to synchronize disabled redundancy state with Main.";
}

void control_config::assign_role(const std::string& serial, system_role role,
                                 const std::string& backup_for_serial) {
  mutex_lock lock(mutex_);
  system_record* r = find_locked(serial);
  if (!r) return;
  r->role = role;
  r->backup_for_serial = role == system_role::backup ? backup_for_serial : std::string();
  controller_configured_ = true;
  policy_synchronized_ = false;
}

void control_config::set_shared_functions(const std::set<int>& ids) {
  mutex_lock lock(mutex_);
  shared_function_ids_ = ids;
  policy_synchronized_ = false;
}

void control_config::merge_discovered(const std::vector<discovered_system>& found) {
  const steady_time now = clock_();
  mutex_lock lock(mutex_);
  for (const auto& d : found) {
    system_record* r = nullptr;
    if (!d.serial.empty()) {
      r = find_locked(d.serial);
    } else {
      for (auto& s : systems_) {
        if (s.address == d.address) {
          r = &s;
          break;
        }
      }
    }
    if (!r) {
      system_record added;
      added.serial = d.serial;
      added.workstation = d.workstation;
      added.address = d.address;
      added.web_port = d.web_port;
      added.online = true;
      added.last_seen = now;
      systems_.push_back(std::move(added));
      continue;
    }
    if (r->address != d.address) {
      // A ready UI keeps the address it is known under; only a server whose
      // UI is not in use may move.
      if (!r->ui_ready) {
        r->address = d.address;
        r->web_port = d.web_port;
      }
    } else if (r->web_port != d.web_port) {
      r->ui_ready = false;
      r->web_port = d.web_port;
    }
    r->control_port = kControlPort;
    if (!d.workstation.empty()) r->workstation = d.workstation;
    r->online = true;
    r->last_seen = now;
  }
  for (auto& s : systems_) {
    if (s.last_seen == steady_time{}) {
      s.online = false;
    } else {
      s.online = now - s.last_seen <= kOnlineWindow;
    }
    if (!s.online) s.ui_ready = false;
  }
}

void control_config::set_health_presence(const std::string& serial, bool present) {
  const steady_time now = clock_();
  mutex_lock lock(mutex_);
  system_record* r = find_locked(serial);
  if (!r) return;
  r->online = present;
  r->ui_ready = present;
  if (present) r->last_seen = now;
}

void control_config::set_ui_ready(const std::string& serial, bool ready) {
  mutex_lock lock(mutex_);
  system_record* r = find_locked(serial);
  if (!r) return;
  r->ui_ready = ready && r->online;
}

void control_config::set_health_selection(bool active, const std::string& serial) {
  mutex_lock lock(mutex_);
  health_selection_active_ = active;
  health_selected_serial_ = serial;
}

void control_config::set_policy_sync(bool synchronized, const std::string& message) {
  mutex_lock lock(mutex_);
  policy_synchronized_ = synchronized;
  policy_sync_message_ = message;
}

bool control_config::policy_synchronized() const {
  mutex_lock lock(mutex_);
  return policy_synchronized_;
}

std::string control_config::policy_sync_message() const {
  mutex_lock lock(mutex_);
  return policy_sync_message_;
}

void control_config::set_replication_status(const std::string& serial,
                                            const replication_status& status) {
  mutex_lock lock(mutex_);
  system_record* r = find_locked(serial);
  if (!r) return;
  r->replication_enabled = status.enabled;
  r->replication_role = status.role;
  r->replication_revision = status.revision;
  r->replication_applied_revision = status.applied_revision;
  r->replication_pending_media = status.pending_media;
  r->replication_event_title = status.event_title;
  r->replication_last_error = status.last_error;
}

void control_config::clear_replication_status(const std::string& serial) {
  mutex_lock lock(mutex_);
  system_record* r = find_locked(serial);
  if (!r) return;
  r->replication_enabled = false;
  r->replication_role = "Independent";
  r->replication_revision = 0;
  r->replication_applied_revision = 0;
  r->replication_pending_media = 0;
  r->replication_event_title.clear();
  r->replication_last_error.clear();
}

const system_record* control_config::first_usable_locked(system_role role) const {
  for (const auto& s : systems_) {
    if (s.role == role && s.online && s.ui_ready) return &s;
  }
  return nullptr;
}

const system_record* control_config::active_ui_system_locked() const {
  const bool paired = enabled_ && has_configured_pair_locked();
  if (paired && health_selection_active_) {
    // While protection holds a selection no other server is offered.
    const system_record* selected = find_locked(health_selected_serial_);
    return selected && selected->online && selected->ui_ready ? selected : nullptr;
  }
  if (const system_record* main = first_usable_locked(system_role::main)) return main;
  // A Backup is offered only when redundancy is on and the pair exists.
  return first_usable_locked(paired ? system_role::backup : system_role::independent);
}

std::optional<system_record> control_config::active_ui_system() const {
  mutex_lock lock(mutex_);
  if (const system_record* r = active_ui_system_locked()) return *r;
  return std::nullopt;
}

std::string control_config::active_ui_label() const {
  mutex_lock lock(mutex_);
  const system_record* r = active_ui_system_locked();
  return r ? std::string(role_label(r->role)) : "none";
}

}  // namespace tolvarine::operator_control
