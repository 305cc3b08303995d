// The admin API on the loopback interface: the diagnostics page and the
// JSON routes of admin_routes, served by an http_listener (concurrent
// connections, 2-second stall limit, 5-second limit per connection, 16 MiB
// of requests held at most, address reuse, backlog 16).
//
// Holds references to the registry, discovery, router, event-policy client,
// Stream Deck adapter and protection service; all must outlive it (stop()
// first). Thread rule: start()/stop() from the owner only; requests run on
// the listener's worker threads, which call only thread-safe operations of
// those objects and hold no lock of this class's own. start() reports a
// port that cannot be bound by returning false.
#pragma once

#include <cstdint>

#include "web/admin_routes.h"
#include "web/http_listener.h"

namespace tolvarine::operator_control {

class control_config;
class server_discovery;
class command_router;
class event_policy_client;
class streamdeck_adapter;
class protection_service;

inline constexpr uint16_t kAdminPort = 5251;

class admin_server {
 public:
  admin_server(control_config& config, server_discovery& discovery, command_router& router,
               event_policy_client& policy_client, streamdeck_adapter& decks,
               protection_service& protection);
  ~admin_server();
  admin_server(const admin_server&) = delete;
  admin_server& operator=(const admin_server&) = delete;

  // Listens on 127.0.0.1:`port`. True when running afterwards (also when it
  // already was); false when the port cannot be bound.
  [[nodiscard]] bool start(uint16_t port);
  // Stops serving and closes the socket. Idempotent; the destructor calls it.
  void stop();
  // The bound port while running, else 0.
  uint16_t port() const { return listener_.port(); }

 private:
  const admin_routes routes_;
  http_listener listener_;
};

// The services of admin_routes bound to the real objects.
admin_services bind_admin_services(control_config& config, server_discovery& discovery,
                                   event_policy_client& policy_client, streamdeck_adapter& decks,
                                   protection_service& protection);

}  // namespace tolvarine::operator_control
