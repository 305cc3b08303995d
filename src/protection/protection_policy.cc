#include "protection/protection_policy.h"

#include "config/json_util.h"
#include "protection/control_string.h"
#include "protection/json_numbers.h"

namespace tolvarine::operator_control {
namespace {

int32_t read_int(std::string_view text, std::string_view key, int32_t fallback) {
  return protection_json::integer32(text, key).value_or(fallback);
}

fault_mode read_mode(std::string_view text, std::string_view key, fault_mode fallback) {
  return static_cast<fault_mode>(read_int(text, key, static_cast<int32_t>(fallback)));
}

// Range check on the value taken as unsigned, so negatives always fail.
bool in_range(int32_t value, uint32_t low, uint32_t high) {
  const auto v = static_cast<uint32_t>(value);
  return v >= low && v <= high;
}

bool valid_mode(fault_mode mode) { return in_range(static_cast<int32_t>(mode), 0, 2); }

bool fail(std::string* error, const char* message) {
  if (error) *error = message;
  return false;
}

const char* bool_text(bool b) { return b ? "true" : "false"; }

void put_int(std::string& out, const char* key, int64_t value, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += key;
  out += "\":";
  out += std::to_string(value);
}

void put_mode(std::string& out, const char* key, fault_mode mode) {
  put_int(out, key, static_cast<int32_t>(mode));
}

void put_string(std::string& out, const char* key, std::string_view value, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += key;
  out += "\":\"";
  out += json_util::escape(value);
  out += '"';
}

void put_bool(std::string& out, const char* key, bool value, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += key;
  out += "\":";
  out += bool_text(value);
}

}  // namespace

std::string_view fault_mode_label(fault_mode mode) {
  switch (mode) {
    case fault_mode::ignore: return "Ignore";
    case fault_mode::alert_only: return "Alert only";
    case fault_mode::alert_failover: return "Alert + failover";
  }
  return {};
}

protection_policy parse_protection_policy(std::string_view text) {
  using protection_json::starts_with;
  protection_policy p;
  p.armed = !starts_with(text, "armed", "false");
  p.audible = starts_with(text, "audible", "true");
  p.lossMs = read_int(text, "lossMs", p.lossMs);
  p.stallMs = read_int(text, "stallMs", p.stallMs);
  p.outputMs = read_int(text, "outputMs", p.outputMs);
  p.startupMs = read_int(text, "startupMs", p.startupMs);
  p.server = read_mode(text, "server", p.server);
  p.engine = read_mode(text, "engine", p.engine);
  p.responsive = read_mode(text, "responsive", p.responsive);
  p.frames = read_mode(text, "frames", p.frames);
  p.sync = read_mode(text, "sync", p.sync);
  p.clock = read_mode(text, "clock", p.clock);
  p.resources = read_mode(text, "resources", p.resources);

  for (const std::string& item : json_util::object_array(text, "outputRules")) {
    protection_policy::output_rule rule;
    rule.mainId = json_util::string_value(item, "mainId", "");
    rule.backupId = json_util::string_value(item, "backupId", "");
    rule.mode = read_mode(item, "mode", rule.mode);
    p.outputRules.push_back(std::move(rule));
  }
  for (const std::string& item : json_util::object_array(text, "actions")) {
    protection_policy::action a;
    a.name = json_util::string_value(item, "name", "");
    a.event = json_util::string_value(item, "event", "backup");
    a.host = json_util::string_value(item, "host", "");
    a.port = read_int(item, "port", a.port);
    a.udp = json_util::string_value(item, "transport", "TCP") == "UDP";
    a.payload = json_util::string_value(item, "payload", "");
    a.delayMs = read_int(item, "delayMs", a.delayMs);
    a.timeoutMs = read_int(item, "timeoutMs", a.timeoutMs);
    a.retries = read_int(item, "retries", a.retries);
    a.enabled = starts_with(item, "enabled", "true");
    p.actions.push_back(std::move(a));
  }
  return p;
}

bool validate_protection_policy(const protection_policy& p, std::string* error) {
  if (!in_range(p.lossMs, 500, 30000) || !in_range(p.stallMs, 500, 30000) ||
      !in_range(p.outputMs, 500, 30000) || !in_range(p.startupMs, 1000, 60000)) {
    return fail(error,
                "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms.");
  }
  if (!in_range(static_cast<int32_t>(p.resources), 0, 1)) {
    return fail(error, "Resource pressure supports Ignore or Alert only.");
  }
  for (fault_mode mode : {p.server, p.engine, p.responsive, p.frames, p.sync, p.clock}) {
    if (!valid_mode(mode)) return fail(error, "Choose Ignore, Alert only, or Alert + failover.");
  }
  if (p.outputRules.size() > kMaxOutputRules || p.actions.size() > kMaxActions) {
    return fail(error, "Maximum 128 output rules and 32 outbound actions.");
  }
  for (size_t i = 0; i < p.outputRules.size(); ++i) {
    const auto& rule = p.outputRules[i];
    bool ok = !rule.mainId.empty() && valid_mode(rule.mode) &&
              (rule.mode != fault_mode::alert_failover || !rule.backupId.empty());
    for (size_t j = 0; ok && j < i; ++j) ok = p.outputRules[j].mainId != rule.mainId;
    if (!ok) {
      return fail(error,
                  "Each protected output needs a unique Main output; failover rules also need a "
                  "Backup output.");
    }
  }
  for (const auto& a : p.actions) {
    if (!a.enabled) continue;
    if (a.host.empty() || a.host.size() > 255 || !in_range(a.port, 1, 65535) ||
        !in_range(a.timeoutMs, 100, 3000) || !in_range(a.delayMs, 0, 10000) ||
        !in_range(a.retries, 0, 3) || (a.event != "backup" && a.event != "main")) {
      return fail(error, "Check action destination, event, timeout, delay, and retry settings.");
    }
    std::string bytes;
    std::string decode_error;
    if (!decode_control_string(a.payload, &bytes, &decode_error)) {
      if (error) *error = decode_error;
      return false;
    }
  }
  return true;
}

std::string protection_policy_json(const protection_policy& p) {
  std::string out = "{";
  put_bool(out, "armed", p.armed, true);
  put_bool(out, "audible", p.audible);
  put_int(out, "lossMs", p.lossMs);
  put_int(out, "stallMs", p.stallMs);
  put_int(out, "outputMs", p.outputMs);
  put_int(out, "startupMs", p.startupMs);
  put_mode(out, "server", p.server);
  put_mode(out, "engine", p.engine);
  put_mode(out, "responsive", p.responsive);
  put_mode(out, "frames", p.frames);
  put_mode(out, "sync", p.sync);
  put_mode(out, "clock", p.clock);
  put_mode(out, "resources", p.resources);
  out += ",\"outputRules\":[";
  for (size_t i = 0; i < p.outputRules.size(); ++i) {
    const auto& rule = p.outputRules[i];
    if (i) out += ',';
    out += '{';
    put_string(out, "mainId", rule.mainId, true);
    put_string(out, "backupId", rule.backupId);
    put_mode(out, "mode", rule.mode);
    out += '}';
  }
  out += "],\"actions\":[";
  for (size_t i = 0; i < p.actions.size(); ++i) {
    const auto& a = p.actions[i];
    if (i) out += ',';
    out += '{';
    put_string(out, "name", a.name, true);
    put_string(out, "event", a.event);
    put_string(out, "host", a.host);
    put_int(out, "port", a.port);
    put_string(out, "transport", a.udp ? "UDP" : "TCP");
    put_string(out, "payload", a.payload);
    put_int(out, "delayMs", a.delayMs);
    put_int(out, "timeoutMs", a.timeoutMs);
    put_int(out, "retries", a.retries);
    put_bool(out, "enabled", a.enabled);
    out += '}';
  }
  out += "]}";
  return out;
}

}  // namespace tolvarine::operator_control
