#include "web/admin_routes.h"

#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "config/json_util.h"
#include "web/diagnostics_page.h"
#include "web/origin_guard.h"

namespace tolvarine::operator_control {
namespace {

constexpr const char* kJson = "application/json";
constexpr std::chrono::milliseconds kDiscoveryQuiet{1500};

void to_stdout(const std::string& line) { std::cout << (line + "\n") << std::flush; }
void to_stderr(const std::string& line) { std::cerr << (line + "\n") << std::flush; }

const char* boolean(bool value) { return value ? "true" : "false"; }

http_reply json_reply(int status, std::string body) { return {status, kJson, std::move(body)}; }

http_reply ok_reply() { return json_reply(200, "{\"ok\":true}"); }

http_reply error_reply(const std::string& error) {
  return json_reply(400, "{\"ok\":false,\"error\":\"" + json_util::escape(error) + "\"}");
}

http_reply not_found() { return {404, "text/plain; charset=utf-8", "not found"}; }

// {"ok":B,"error":"S"}: 200 when the call worked, 400 otherwise.
http_reply outcome_reply(bool ok, const std::string& error) {
  return json_reply(ok ? 200 : 400, std::string("{\"ok\":") + boolean(ok) + ",\"error\":\"" +
                                        json_util::escape(ok ? std::string() : error) + "\"}");
}

}  // namespace

admin_routes::admin_routes(control_config& config, command_router& router,
                           admin_services services, log_fn info, log_fn problem)
    : config_(config),
      router_(router),
      services_(std::move(services)),
      info_(info ? std::move(info) : log_fn(to_stdout)),
      problem_(problem ? std::move(problem) : log_fn(to_stderr)) {}

http_reply admin_routes::handle(const http_request_message& request, uint16_t api_port) const {
  // A page loaded before a port move keeps working until it follows it.
  const std::vector<uint16_t> ui_ports = config_.served_ui_ports();
  const origin_check check = check_request_origin(request.header_block, ui_ports, api_port);
  if (!check.allowed) {
    problem_(refusal_log_line(check));
    return error_reply("Request origin not allowed.");
  }
  return route(request);
}

http_reply admin_routes::route(const http_request_message& request) const {
  const std::string& path = request.path;
  if (request.method == "GET") {
    if (path == "/") {
      return {200, "text/html; charset=utf-8", diagnostics_page(config_.ui_port())};
    }
    if (path == "/api/status") return json_reply(200, status_json());
    return not_found();
  }
  if (request.method != "POST") return not_found();
  const std::string& body = request.body;
  if (path == "/api/route") return route_command(body);
  if (path == "/api/shared") return set_shared(body);
  if (path == "/api/role") return set_role(body);
  if (path == "/api/discover") return discover();
  if (path == "/api/configure") return configure(body);
  std::string error;
  if (path == "/api/protection") {
    const bool ok = services_.configure_protection(body, &error);
    return outcome_reply(ok, error);
  }
  if (path == "/api/protection/test") {
    const int index = static_cast<int>(json_util::integer_value(body, "index").value_or(-1));
    const bool ok = services_.test_protection_action(index, &error);
    return outcome_reply(ok, error);
  }
  if (path == "/api/protection/operate") {
    const bool ok =
        services_.operate_protection(json_util::string_value(body, "operation", ""), &error);
    return outcome_reply(ok, error);
  }
  return not_found();
}

std::string admin_routes::status_json() const {
  std::string out = config_.to_json();
  if (!out.empty() && out.back() == '}') out.pop_back();
  const std::optional<system_record> active = config_.active_ui_system();
  const std::vector<deck_info> decks = services_.decks();
  out += ",\"active\":\"" + json_util::escape(config_.active_ui_label()) + "\"";
  out += ",\"activeSerial\":\"" + json_util::escape(active ? active->serial : "") + "\"";
  out += ",\"streamDeckCount\":" + std::to_string(decks.size());
  out += ",\"streamDecks\":[";
  for (size_t i = 0; i < decks.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"serial\":\"" + json_util::escape(decks[i].serial) + "\",\"name\":\"" +
           json_util::escape(decks[i].name) + "\",\"productId\":\"" +
           json_util::escape(decks[i].product_id) +
           "\",\"keyCount\":" + std::to_string(decks[i].key_count) + "}";
  }
  out += "],\"protection\":" + services_.protection_json();
  out += ",\"configPath\":\"" + json_util::escape(config_.path()) + "\"}";
  return out;
}

http_reply admin_routes::route_command(const std::string& body) const {
  const int function_id = static_cast<int>(json_util::integer_value(body, "functionId").value_or(0));
  const std::string target_serial = json_util::string_value(body, "targetSerial", "");
  const std::string payload = json_util::string_value(body, "payload", "");
  info_("[route] request function=" + std::to_string(function_id) +
        " target=" + (target_serial.empty() ? std::string("<auto>") : target_serial) +
        " payloadBytes=" + std::to_string(payload.size()));
  if (function_id < 1 || payload.empty()) {
    return json_reply(400, "{\"ok\":false,\"error\":\"functionId and payload are required\"}");
  }

  const std::optional<system_record> target =
      target_serial.empty() ? config_.main_system() : config_.find(target_serial);
  const bool shared = config_.shared_functions().count(function_id) > 0;
  bool backup_online = false;
  if (shared && target) {
    const std::optional<system_record> backup = config_.backup_for(target->serial);
    backup_online = backup && backup->online;
  }

  const fanout_result result = router_.route_streamdeck(function_id, target_serial, payload);
  bool routed = false;
  std::string deliveries;
  for (const delivery_result& d : result.deliveries) {
    routed = routed || d.sent;
    if (!deliveries.empty()) deliveries += ',';
    deliveries += "{\"role\":\"" + std::string(delivery_role_name(d.role)) +
                  "\",\"attempted\":" + boolean(d.attempted) + ",\"sent\":" + boolean(d.sent) +
                  ",\"error\":\"" + json_util::escape(d.error) + "\"}";
  }
  return json_reply(200, std::string("{\"ok\":true,\"routed\":") + boolean(routed) +
                             ",\"targetFound\":" + boolean(target.has_value()) +
                             ",\"mainOnline\":" + boolean(target && target->online) +
                             ",\"shared\":" + boolean(shared) +
                             ",\"backupOnline\":" + boolean(backup_online) +
                             ",\"sequence\":" + std::to_string(result.sequence) +
                             ",\"deliveries\":[" + deliveries + "]}");
}

http_reply admin_routes::set_shared(const std::string& body) const {
  config_.set_shared_functions(json_util::int_array(body, "ids"));
  config_.save();
  return ok_reply();
}

http_reply admin_routes::set_role(const std::string& body) const {
  const std::string serial = json_util::string_value(body, "serial", "");
  const std::string role = json_util::string_value(body, "role", "");
  const std::string backup_for = json_util::string_value(body, "backupForSerial", "");
  if (serial.empty() || role.empty()) return json_reply(400, "{\"ok\":false}");
  config_.assign_role(serial, role_from_file_name(role), backup_for);
  config_.save();
  return ok_reply();
}

http_reply admin_routes::discover() const {
  std::vector<discovered_system> found;
  try {
    found = services_.discover(kDiscoveryQuiet);
  } catch (const std::runtime_error& e) {
    return error_reply(e.what());
  }
  config_.merge_discovered(found);
  config_.save();
  return ok_reply();
}

http_reply admin_routes::configure(const std::string& body) const {
  const bool enabled = json_util::bool_value(body, "enabled", false);
  const std::string main_serial = json_util::string_value(body, "mainSerial", "");
  const std::string backup_serial = json_util::string_value(body, "backupSerial", "");
  const std::set<int> shared = json_util::int_array(body, "sharedFunctionIds");
  const std::optional<long long> port_value = json_util::integer_value(body, "uiPort");
  const uint32_t ui_port =
      port_value ? static_cast<uint32_t>(*port_value) : uint32_t{config_.ui_port()};
  const bool pairing = enabled || !main_serial.empty() || !backup_serial.empty();

  if (ui_port < 1024 || ui_port > 65535) {
    return error_reply("Control UI port must be between 1024 and 65535.");
  }
  if (pairing && (main_serial.empty() || backup_serial.empty() || main_serial == backup_serial)) {
    return error_reply("A different Main and Backup are required.");
  }
  if ((!main_serial.empty() || !backup_serial.empty()) &&
      (!config_.find(main_serial) || !config_.find(backup_serial))) {
    return error_reply("The selected systems are not in the Redundancy Control registry.");
  }

  const uint16_t old_port = config_.ui_port();
  if (pairing) config_.configure_pair(enabled, main_serial, backup_serial);
  config_.set_shared_functions(shared);
  config_.set_ui_port(static_cast<uint16_t>(ui_port));
  config_.save();

  std::string message = "Application settings saved.";
  bool server_updated = false;
  if (config_.controller_configured() && config_.has_configured_pair()) {
    try {
      server_updated = services_.synchronize_pairing(message);
    } catch (const std::exception&) {
      server_updated = false;  // the registry keeps the sync state it had
    }
  }
  config_.save();

  const uint16_t new_port = config_.ui_port();
  return json_reply(200, std::string("{\"ok\":true,\"serverUpdated\":") + boolean(server_updated) +
                             ",\"uiPort\":" + std::to_string(new_port) +
                             ",\"uiPortChanged\":" + boolean(new_port != old_port) +
                             ",\"message\":\"" + json_util::escape(message) + "\"}");
}

}  // namespace tolvarine::operator_control
