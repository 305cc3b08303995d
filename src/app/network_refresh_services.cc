#include "app/network_refresh_services.h"

namespace tolvarine::operator_control {

std::vector<discovered_system> network_refresh_services::discover(int timeout_ms) {
  return discovery_.discover(std::chrono::milliseconds(timeout_ms));
}

std::optional<event_policy> network_refresh_services::fetch_policy(const discovered_system& server,
                                                                   int timeout_ms) {
  return client_.fetch(server.address, server.web_port, timeout_ms);
}

bool network_refresh_services::probe_identity(const system_record& server, int timeout_ms) {
  return client_.probe_identity(server.address, server.web_port, server.serial, timeout_ms);
}

void network_refresh_services::synchronize_pairing(control_config& config) {
  // The outcome is recorded in the registry itself.
  std::string message;
  (void)synchronize_controller_policy(config, client_, message);
}

std::optional<replication_status> network_refresh_services::fetch_replication(
    const system_record& server, int timeout_ms) {
  return client_.fetch_replication_status(server.address, server.web_port, timeout_ms);
}

}  // namespace tolvarine::operator_control
