// The refresh pass's view of the network: the discovery object and the
// event-policy client. Stateless beyond its references; used from the main
// thread.
#pragma once

#include "app/refresh_cycle.h"
#include "server/event_policy_client.h"
#include "server/server_discovery.h"

namespace tolvarine::operator_control {

class network_refresh_services : public refresh_services {
 public:
  network_refresh_services(const server_discovery& discovery, const event_policy_client& client)
      : discovery_(discovery), client_(client) {}

  std::vector<discovered_system> discover(int timeout_ms) override;
  std::optional<event_policy> fetch_policy(const discovered_system& server, int timeout_ms) override;
  bool probe_identity(const system_record& server, int timeout_ms) override;
  void synchronize_pairing(control_config& config) override;
  std::optional<replication_status> fetch_replication(const system_record& server,
                                                      int timeout_ms) override;

 private:
  const server_discovery& discovery_;
  const event_policy_client& client_;
};

}  // namespace tolvarine::operator_control
