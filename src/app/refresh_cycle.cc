#include "app/refresh_cycle.h"

#include <exception>

#include "app/refresh_status.h"

namespace tolvarine::operator_control {

refresh_cycle::refresh_cycle(control_config& config, refresh_services& services, std::ostream& out,
                             std::ostream& err)
    : config_(config), services_(services), out_(out), err_(err) {}

std::optional<platform_status> refresh_cycle::run_pass() {
  try {
    return pass();
  } catch (const std::exception& e) {
    err_ << "Redundancy Control refresh: " << e.what() << std::endl;
  }
  return std::nullopt;
}

platform_status refresh_cycle::pass() {
  const std::vector<discovered_system> found = services_.discover(500);
  if (const size_t ignored = config_.merge_discovered(found)) {
    err_ << "[status] registry full (" << kMaxSystems << " servers): ignored " << ignored
         << " new servers" << std::endl;
  }

  if (!config_.controller_configured()) adopt_published_pairing(found);

  // With an enabled, configured pair the protection service owns the
  // readiness flags; otherwise the web interfaces are probed here.
  if (!config_.enabled() || !config_.has_configured_pair()) probe_interfaces();

  if (config_.controller_configured() && config_.has_configured_pair()) {
    services_.synchronize_pairing(config_);
  }

  refresh_replication();
  log_status_changes();
  config_.save();
  return front_end_status();
}

void refresh_cycle::adopt_published_pairing(const std::vector<discovered_system>& found) {
  std::vector<event_policy> published;
  for (const discovered_system& server : found) {
    std::optional<event_policy> policy = services_.fetch_policy(server, 750);
    if (policy && policy->enabled && !policy->systems.empty()) published.push_back(std::move(*policy));
  }
  if (published.empty()) return;
  config_.apply_event_policy(merge_published_policies(published));
}

void refresh_cycle::probe_interfaces() {
  for (const system_record& server : config_.systems()) {
    int& failures = failure_counts_[server.serial];
    if (!server.online) {
      failures = 0;
      config_.set_ui_ready(server.serial, false);
    } else if (services_.probe_identity(server, 750)) {
      failures = 0;
      config_.set_ui_ready(server.serial, true);
    } else {
      // A ready interface survives two failed probes in a row and is
      // dropped on the third.
      const int before = failures++;
      if (!server.ui_ready || before >= 2) config_.set_ui_ready(server.serial, false);
    }
  }
}

void refresh_cycle::refresh_replication() {
  for (const system_record& server : config_.systems()) {
    const bool paired_role = server.role == system_role::main || server.role == system_role::backup;
    if (server.online && paired_role) {
      if (auto status = services_.fetch_replication(server, 600)) {
        config_.set_replication_status(server.serial, *status);
      }
    } else {
      config_.clear_replication_status(server.serial);
    }
  }
}

void refresh_cycle::log_status_changes() {
  const bool enabled = config_.enabled();
  const std::string active = config_.active_ui_label();
  const std::vector<system_record> systems = config_.systems();
  std::string signature = status_signature(enabled, active, systems);
  if (signature == last_signature_) return;
  last_signature_ = std::move(signature);
  const std::string lines = status_lines(enabled, active, systems);
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = lines.find('\n', start);
    out_ << lines.substr(start, end - start) << std::endl;
    start = end + 1;
  }
}

platform_status refresh_cycle::front_end_status() const {
  platform_status status;
  const std::optional<system_record> main = config_.main_system();
  const std::optional<system_record> backup =
      main ? config_.backup_for(main->serial) : std::optional<system_record>();
  status.main_label = server_label("Main", main);
  status.backup_label = server_label("Backup", backup);
  status.sync_label = sync_label(config_.enabled(), config_.active_ui_label(),
                                 config_.policy_synchronized(), main, backup);
  return status;
}

}  // namespace tolvarine::operator_control
