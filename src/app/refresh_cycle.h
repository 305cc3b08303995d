// One refresh pass of the main loop, every two seconds: discovery,
// adoption of a pairing the servers publish, readiness probes of the
// servers' web interfaces, pairing synchronisation with the Main,
// replication status, status log lines on change and a save of the
// settings.
//
// Not thread-safe: run from the main thread only. The failure counts and
// the last status signature live as long as the object.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/control_config.h"
#include "platform/platform_app.h"

namespace tolvarine::operator_control {

// What a pass asks of the network; production adapts the discovery object
// and the event-policy client, tests pass a fake.
class refresh_services {
 public:
  virtual ~refresh_services() = default;
  // May throw std::runtime_error when the discovery socket cannot be set up.
  virtual std::vector<discovered_system> discover(int timeout_ms) = 0;
  virtual std::optional<event_policy> fetch_policy(const discovered_system& server, int timeout_ms) = 0;
  virtual bool probe_identity(const system_record& server, int timeout_ms) = 0;
  virtual void synchronize_pairing(control_config& config) = 0;
  virtual std::optional<replication_status> fetch_replication(const system_record& server,
                                                              int timeout_ms) = 0;
};

class refresh_cycle {
 public:
  // Status lines go to `out`, the refresh guard's message to `err`.
  refresh_cycle(control_config& config, refresh_services& services, std::ostream& out,
                std::ostream& err);

  // Runs one pass; a standard exception ends the pass and is logged as
  // "Redundancy Control refresh: <what>". Returns the front end's snapshot
  // (deck count left at zero for the caller to fill) when the pass
  // completed.
  std::optional<platform_status> run_pass();

 private:
  platform_status pass();
  void adopt_published_pairing(const std::vector<discovered_system>& found);
  void probe_interfaces();
  void refresh_replication();
  void log_status_changes();
  platform_status front_end_status() const;

  control_config& config_;
  refresh_services& services_;
  std::ostream& out_;
  std::ostream& err_;
  std::map<std::string, int> failure_counts_;
  std::string last_signature_;
};

}  // namespace tolvarine::operator_control
