// The one shared registry of the program: known show servers and their
// roles, whether redundancy is enabled, the shared command functions, the
// operator UI port, and each server's runtime state with the choice of the
// active server.
//
// Thread-safe: every public method takes the state lock and hands out
// copies. No method calls out of this object or does I/O while holding the
// state lock. save() holds a separate save lock for the whole write; lock
// order: save lock, then state lock. Callers may hold their own locks while
// calling in (the protection service does), never the reverse.
//
// Nothing here reports errors: missing or malformed files load defaults, a
// failed save leaves the previous file, unknown serials change nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "config/event_policy.h"
#include "config/system_record.h"

namespace tolvarine::operator_control {

inline constexpr uint16_t kDefaultUiPort = 5270;

class control_config {
 public:
  // `clock` stamps last_seen and drives ageing; tests pass a stepped one.
  explicit control_config(std::string path, steady_clock_fn clock = steady_now);
  control_config(const control_config&) = delete;
  control_config& operator=(const control_config&) = delete;

  const std::string& path() const { return path_; }

  // Reads the settings file. A missing file leaves every field as it is.
  void load() EXCLUDES(mutex_);
  // Replaces the settings file whole with to_json(). Failure is silent and
  // leaves the previous file.
  void save() const EXCLUDES(save_mutex_, mutex_);
  // The settings document (also the core of the admin API's status).
  std::string to_json() const EXCLUDES(mutex_);

  // Queries.
  bool enabled() const EXCLUDES(mutex_);
  bool controller_configured() const EXCLUDES(mutex_);
  bool has_configured_pair() const EXCLUDES(mutex_);
  uint16_t ui_port() const EXCLUDES(mutex_);
  uint16_t runtime_ui_port() const EXCLUDES(mutex_);
  // Every port set with set_runtime_ui_port since construction, in order;
  // the configured port alone while there has been none.
  std::vector<uint16_t> served_ui_ports() const EXCLUDES(mutex_);
  std::vector<system_record> systems() const EXCLUDES(mutex_);
  std::set<int> shared_functions() const EXCLUDES(mutex_);
  std::optional<system_record> find(const std::string& serial) const EXCLUDES(mutex_);
  std::optional<system_record> main_system() const EXCLUDES(mutex_);
  std::optional<system_record> backup_for(const std::string& serial) const EXCLUDES(mutex_);

  // Registry changes.
  void set_ui_port(uint16_t port) EXCLUDES(mutex_);  // ignored below 1024
  // The port the operator UI server now listens on.
  void set_runtime_ui_port(uint16_t port) EXCLUDES(mutex_);
  void configure_pair(bool enabled, const std::string& main_serial,
                      const std::string& backup_serial) EXCLUDES(mutex_);
  void assign_role(const std::string& serial, system_role role,
                   const std::string& backup_for_serial) EXCLUDES(mutex_);
  void set_shared_functions(const std::set<int>& ids) EXCLUDES(mutex_);
  // Adds new servers, refreshes known ones and ages out those not seen for
  // six seconds.
  void merge_discovered(const std::vector<discovered_system>& found) EXCLUDES(mutex_);
  // Adopts the pairing a Main publishes (see event_policy_client).
  void apply_event_policy(const event_policy& policy) EXCLUDES(mutex_);

  // Runtime state.
  void set_health_presence(const std::string& serial, bool present) EXCLUDES(mutex_);
  void set_ui_ready(const std::string& serial, bool ready) EXCLUDES(mutex_);
  void set_health_selection(bool active, const std::string& serial) EXCLUDES(mutex_);
  void set_policy_sync(bool synchronized, const std::string& message) EXCLUDES(mutex_);
  bool policy_synchronized() const EXCLUDES(mutex_);
  std::string policy_sync_message() const EXCLUDES(mutex_);
  void set_replication_status(const std::string& serial, const replication_status& status)
      EXCLUDES(mutex_);
  void clear_replication_status(const std::string& serial) EXCLUDES(mutex_);

  // The server whose UI is the active one, if any.
  std::optional<system_record> active_ui_system() const EXCLUDES(mutex_);
  // "main", "backup", "independent" by the active server's role, or "none".
  std::string active_ui_label() const EXCLUDES(mutex_);

  bool has_configured_pair_locked() const REQUIRES(mutex_);

 private:
  system_record* find_locked(const std::string& serial) REQUIRES(mutex_);
  const system_record* find_locked(const std::string& serial) const REQUIRES(mutex_);
  // First record of `role` that is online and UI-ready.
  const system_record* first_usable_locked(system_role role) const REQUIRES(mutex_);
  const system_record* active_ui_system_locked() const REQUIRES(mutex_);

  // Constant after construction.
  const std::string path_;
  const steady_clock_fn clock_;

  mutable mutex save_mutex_ ACQUIRED_BEFORE(mutex_);
  mutable mutex mutex_;
  bool enabled_ GUARDED_BY(mutex_) = false;
  bool controller_configured_ GUARDED_BY(mutex_) = false;
  uint16_t ui_port_ GUARDED_BY(mutex_) = kDefaultUiPort;
  uint16_t runtime_ui_port_ GUARDED_BY(mutex_) = kDefaultUiPort;
  std::vector<uint16_t> served_ui_ports_ GUARDED_BY(mutex_);  // distinct, at most 65536
  std::vector<system_record> systems_ GUARDED_BY(mutex_);
  std::set<int> shared_function_ids_ GUARDED_BY(mutex_);
  bool health_selection_active_ GUARDED_BY(mutex_) = false;
  std::string health_selected_serial_ GUARDED_BY(mutex_);
  bool policy_synchronized_ GUARDED_BY(mutex_) = false;
  std::string policy_sync_message_ GUARDED_BY(mutex_);
};

}  // namespace tolvarine::operator_control
