// The admin API's routes: status, diagnostics page, command routing,
// shared functions, roles, discovery, settings and pairing, and the
// protection settings and operations. Turns one parsed request into one
// reply; knows nothing of sockets.
//
// The collaborators that talk to the network or own threads (discovery,
// pairing synchronisation, Stream Decks, protection) come in as
// admin_services so tests can stand in for them; admin_server binds the
// real objects.
//
// Thread-safe: handle() may run on several threads at once. It holds no
// lock of its own; every call into the registry, the router and the
// services takes their own locks. Failures are replies (400 with
// {"ok":false,...}, 404 "not found"); handle() does not throw except for
// allocation failure.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "config/control_config.h"
#include "routing/command_router.h"
#include "streamdeck/deck_profile.h"
#include "web/http_listener.h"
#include "web/http_request_reader.h"

namespace tolvarine::operator_control {

struct admin_services {
  // One discovery pass with the given quiet time. Throws std::runtime_error
  // when its socket cannot be set up.
  std::function<std::vector<discovered_system>(std::chrono::milliseconds quiet)> discover;
  // Pushes the registry's pairing to the Main; true when the Main is in
  // step. May replace `message`.
  std::function<bool(std::string& message)> synchronize_pairing;
  std::function<std::vector<deck_info>()> decks;
  std::function<std::string()> protection_json;
  std::function<bool(const std::string& policy_text, std::string* error)> configure_protection;
  std::function<bool(int index, std::string* error)> test_protection_action;
  std::function<bool(const std::string& operation, std::string* error)> operate_protection;
};

class admin_routes {
 public:
  // Receives one log line without its line feed.
  using log_fn = std::function<void(const std::string& line)>;

  // `info` defaults to standard output, `problem` to standard error, each
  // line flushed.
  admin_routes(control_config& config, command_router& router, admin_services services,
               log_fn info = {}, log_fn problem = {});

  // The reply to `request`, received by the server on `api_port`. Requests
  // from a foreign web origin or host name are refused with 400 and one
  // "[admin] refused" line.
  http_reply handle(const http_request_message& request, uint16_t api_port) const;

  // The status document of GET "/api/status".
  std::string status_json() const;

 private:
  http_reply route(const http_request_message& request) const;
  http_reply route_command(const std::string& body) const;
  http_reply set_shared(const std::string& body) const;
  http_reply set_role(const std::string& body) const;
  http_reply discover() const;
  http_reply configure(const std::string& body) const;

  control_config& config_;
  command_router& router_;
  const admin_services services_;
  const log_fn info_;
  const log_fn problem_;
};

}  // namespace tolvarine::operator_control
