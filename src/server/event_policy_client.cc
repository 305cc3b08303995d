#include "server/event_policy_client.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "config/json_util.h"

namespace tolvarine::operator_control {
namespace {

constexpr size_t kRequestLimit = 33554432;
constexpr int kMinimumUpdateTimeoutMs = 3000;

// The lower-case spelling wins when both parse; 0 when neither does.
int64_t either_integer(std::string_view text, std::string_view upper, std::string_view lower) {
  if (std::optional<long long> v = json_util::integer_value(text, lower)) return *v;
  if (std::optional<long long> v = json_util::integer_value(text, upper)) return *v;
  return 0;
}

// "Enabled" as a boolean; when unreadable, whether "enabled" begins with
// true.
bool enabled_value(std::string_view text) {
  size_t p = json_util::value_start(text, "enabled");
  bool fallback = p != json_util::npos && text.substr(p, 4) == "true";
  return json_util::bool_value(text, "Enabled", fallback);
}

std::string system_key(const event_policy_system& s) {
  return s.serial + "|" + std::string(role_file_name(s.role)) + "|" + s.backup_for_serial;
}

std::set<std::string> system_keys(const event_policy& policy) {
  std::set<std::string> keys;
  for (const event_policy_system& s : policy.systems) keys.insert(system_key(s));
  return keys;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

event_policy parse_event_policy(std::string_view body) {
  event_policy policy;
  policy.enabled = enabled_value(body);
  std::vector<std::string> objects = json_util::object_array(body, "Systems");
  if (objects.empty()) objects = json_util::object_array(body, "systems");
  for (const std::string& object : objects) {
    event_policy_system system;
    system.serial = first_string(object, "Serial", "serial");
    if (system.serial.empty()) continue;
    system.workstation = first_string(object, "WorkstationName", "workstationName");
    system.address = first_string(object, "Address", "address");
    system.role = role_from_file_name(first_string(object, "Role", "role"));
    system.backup_for_serial = first_string(object, "BackupForSerial", "backupForSerial");
    policy.systems.push_back(std::move(system));
  }
  policy.shared_function_ids = json_util::int_array(body, "SharedFunctionIds");
  if (policy.shared_function_ids.empty()) {
    policy.shared_function_ids = json_util::int_array(body, "sharedFunctionIds");
  }
  policy.replication_revision = either_integer(body, "ReplicationRevision", "replicationRevision");
  return policy;
}

replication_status parse_replication_status(std::string_view body) {
  replication_status status;
  status.enabled = enabled_value(body);
  status.role = first_string(body, "Role", "role");
  status.local_serial = first_string(body, "LocalSerial", "localSerial");
  status.main_serial = first_string(body, "MainSerial", "mainSerial");
  status.revision = either_integer(body, "Revision", "revision");
  status.applied_revision = either_integer(body, "AppliedRevision", "appliedRevision");
  status.pending_media =
      static_cast<int>(either_integer(body, "PendingMedia", "pendingMedia"));
  status.event_title = first_string(body, "EventTitle", "eventTitle");
  status.last_error = first_string(body, "LastError", "lastError");
  return status;
}

std::string operator_control_json(const event_policy& desired, int64_t revision) {
  std::string out = "{\"Enabled\":";
  out += desired.enabled ? "true" : "false";
  out += ",\"Systems\":[";
  bool first = true;
  for (const event_policy_system& s : desired.systems) {
    if (!first) out += ",";
    first = false;
    out += "{\"Serial\":\"" + json_util::escape(s.serial) + "\",\"WorkstationName\":\"" +
           json_util::escape(s.workstation) + "\",\"Address\":\"" + json_util::escape(s.address) +
           "\",\"Role\":\"" + std::string(role_file_name(s.role)) + "\",\"BackupForSerial\":\"" +
           json_util::escape(s.backup_for_serial) + "\"}";
  }
  out += "],\"SharedFunctionIds\":[";
  first = true;
  for (int id : desired.shared_function_ids) {
    if (!first) out += ",";
    first = false;
    out += std::to_string(id);
  }
  out += "],\"ReplicationRevision\":" + std::to_string(revision) + "}";
  return out;
}

std::string place_operator_control(const std::string& model, const std::string& value) {
  size_t start = 0;
  size_t end = 0;
  if (find_property_span(model, "OperatorControl", start, end) ||
      find_property_span(model, "operatorControl", start, end)) {
    return model.substr(0, start) + value + model.substr(end);
  }
  size_t brace = model.rfind('}');
  if (brace == std::string::npos) return {};
  size_t before = brace;
  while (before > 0 && is_blank(model[before - 1])) --before;
  std::string separator = (before == 0 || model[before - 1] == '{') ? "" : ",";
  return model.substr(0, brace) + separator + "\"OperatorControl\":" + value + model.substr(brace);
}

std::string event_model_form(const std::string& model) {
  return "room=prime&data=" + url_encode(model);
}

http_response event_policy_client::request(const std::string& host, uint16_t port,
                                           const std::string& method, const std::string& path,
                                           const std::string& body,
                                           const std::string& content_type, int timeout_ms) {
  std::string text = http_request_text(method, path, host, body, content_type);
  std::optional<std::string> raw =
      http_exchange(host, port, address_family::ipv4_only, text, timeout_ms, kRequestLimit);
  if (!raw) return {};
  return parse_raw_body_response(*raw);
}

http_response event_policy_client::read_event_model(const std::string& host, uint16_t port,
                                                    int timeout_ms) {
  std::string text = http_request_text("GET", "/Home/GetEventModel", host, "", "");
  std::optional<std::string> raw =
      http_exchange(host, port, address_family::ipv4_only, text, timeout_ms, kRequestLimit);
  if (!raw) return {};
  // The full parser: a body short of its Content-Length or without its
  // final chunk is no body at all.
  return parse_http_response(*raw);
}

std::optional<event_policy> event_policy_client::fetch(const std::string& host, uint16_t port,
                                                       int timeout_ms) const {
  http_response response =
      request(host, port, "GET", "/Home/GetOperatorControlConfiguration", "", "", timeout_ms);
  if (response.status != 200) return std::nullopt;
  return parse_event_policy(response.body);
}

std::optional<replication_status> event_policy_client::fetch_replication_status(
    const std::string& host, uint16_t port, int timeout_ms) const {
  http_response response =
      request(host, port, "GET", "/Home/GetOperatorControlReplicationStatus", "", "", timeout_ms);
  if (response.status != 200) return std::nullopt;
  return parse_replication_status(response.body);
}

bool event_policy_client::probe_identity(const std::string& host, uint16_t port,
                                         const std::string& serial, int timeout_ms) const {
  if (port == 0 || host.empty() || serial.empty()) return false;
  http_response response =
      request(host, port, "GET", "/Home/GetOperatorControlIdentity", "", "", timeout_ms);
  if (response.status != 200 || response.body.empty()) return false;
  std::string found = first_string(response.body, "Serial", "serial");
  return !found.empty() && found == serial;
}

bool event_policy_client::equivalent(const event_policy& a, const event_policy& b) {
  return a.enabled == b.enabled && a.shared_function_ids == b.shared_function_ids &&
         system_keys(a) == system_keys(b);
}

bool event_policy_client::synchronize_event_policy(const std::string& host, uint16_t port,
                                                   const event_policy& desired,
                                                   std::string& message, int timeout_ms) const {
  std::optional<event_policy> current = fetch(host, port, timeout_ms);
  if (current && equivalent(*current, desired)) {
    message = kPolicySynchronized;
    return true;
  }

  http_response model = read_event_model(host, port, timeout_ms);
  // A model cut short is never written back. One with no closing brace at
  // all cannot take the pairing and is reported as such below.
  if (model.status != 200 || model.body.empty() || model.body.rfind("ERROR", 0) == 0 ||
      (model.body.find('}') != std::string::npos && !json_util::is_closed_object(model.body))) {
    message = kEventUnreadable;
    return false;
  }

  int64_t revision = current ? current->replication_revision
                             : json_util::integer_value(model.body, "ReplicationRevision").value_or(0);
  std::string updated =
      place_operator_control(model.body, operator_control_json(desired, revision));
  if (updated.empty()) {
    message = kEventUnprepared;
    return false;
  }

  http_response posted =
      request(host, port, "POST", "/Home/UpdateEventModel", event_model_form(updated),
              "application/x-www-form-urlencoded", std::max(timeout_ms, kMinimumUpdateTimeoutMs));
  if (posted.status != 200 || posted.body.find("OK") == std::string::npos) {
    message = kUpdateRejected;
    return false;
  }

  std::optional<event_policy> after = fetch(host, port, timeout_ms);
  if (after && equivalent(*after, desired)) {
    message = kPolicySynchronized;
    return true;
  }
  message = kUpdateNotExposed;
  return false;
}

event_policy build_controller_policy(const control_config& config) {
  event_policy policy;
  policy.enabled = config.enabled();
  policy.shared_function_ids = config.shared_functions();
  for (const system_record& record : config.systems()) {
    if (record.role != system_role::main && record.role != system_role::backup) continue;
    policy.systems.push_back(event_policy_system{record.serial, record.workstation,
                                                 record.address, record.role,
                                                 record.backup_for_serial});
  }
  policy.replication_revision = 0;
  return policy;
}

bool synchronize_controller_policy(control_config& config, const event_policy_client& client,
                                   std::string& message) {
  constexpr int kRounds = 3;
  mutex_lock one_at_a_time(client.sync_mutex_);
  auto refuse = [&](const char* text) {
    message = text;
    config.set_policy_sync(false, message);
    return false;
  };
  bool ok = false;
  for (int round = 0; round < kRounds; ++round) {
    if (!config.controller_configured()) return refuse(kNotConfiguredHere);
    if (!config.has_configured_pair()) return refuse(kChoosePair);
    std::optional<system_record> main = config.main_system();
    if (!main) return refuse(kMainNotInRegistry);
    if (!main->online) return refuse(kMainOffline);
    const event_policy desired = build_controller_policy(config);
    ok = client.synchronize_event_policy(main->address, main->web_port, desired, message, 1500);
    // The operator may have changed the pairing meanwhile: write the new one.
    if (event_policy_client::equivalent(build_controller_policy(config), desired)) break;
  }
  config.set_policy_sync(ok, message);
  return ok;
}

}  // namespace tolvarine::operator_control
