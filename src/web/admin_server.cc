#include "web/admin_server.h"

#include "protection/protection_service.h"
#include "server/event_policy_client.h"
#include "server/server_discovery.h"
#include "streamdeck/streamdeck_adapter.h"

namespace tolvarine::operator_control {

admin_services bind_admin_services(control_config& config, server_discovery& discovery,
                                   event_policy_client& policy_client, streamdeck_adapter& decks,
                                   protection_service& protection) {
  admin_services services;
  services.discover = [&discovery](std::chrono::milliseconds quiet) {
    return discovery.discover(quiet);
  };
  services.synchronize_pairing = [&config, &policy_client](std::string& message) {
    return synchronize_controller_policy(config, policy_client, message);
  };
  services.decks = [&decks] { return decks.decks(); };
  services.protection_json = [&protection] { return protection.json(); };
  services.configure_protection = [&protection](const std::string& text, std::string* error) {
    return protection.configure(text, error);
  };
  services.test_protection_action = [&protection](int index, std::string* error) {
    return protection.test_action(index, error);
  };
  services.operate_protection = [&protection](const std::string& operation, std::string* error) {
    return protection.operate(operation, error);
  };
  return services;
}

admin_server::admin_server(control_config& config, server_discovery& discovery,
                           command_router& router, event_policy_client& policy_client,
                           streamdeck_adapter& decks, protection_service& protection)
    : routes_(config, router,
              bind_admin_services(config, discovery, policy_client, decks, protection)),
      listener_(
          [this](const http_request_message& request) {
            return routes_.handle(request, listener_.port());
          },
          http_listener::kStallLimit, {},
          // A shared command is look-ups and one datagram per server: it
          // leaves without waiting for a worker to be scheduled.
          [](const http_request_message& request) {
            return request.method == "POST" && request.path == "/api/route";
          }) {}

admin_server::~admin_server() { stop(); }

bool admin_server::start(uint16_t port) { return listener_.start(port); }

void admin_server::stop() { listener_.stop(); }

}  // namespace tolvarine::operator_control
