// The protection settings record: fault delays, the mode of each fault
// class, protected outputs and outbound actions, with its JSON reading,
// validation and writing. Plain values; the functions are pure and
// thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvarine::operator_control {

// What a confirmed fault does. Held as a signed 32-bit value so that a
// parsed out-of-range mode survives until validation rejects it.
enum class fault_mode : int32_t {
  ignore = 0,          // "Ignore": never fires; an active alert recovers
  alert_only = 1,      // "Alert only": a "warning" alert
  alert_failover = 2,  // "Alert + failover": "critical", and failover from the Main
};

// "Ignore", "Alert only", "Alert + failover"; empty for other values.
std::string_view fault_mode_label(fault_mode mode);

struct protection_policy {
  struct output_rule {
    std::string mainId;
    std::string backupId;
    fault_mode mode = fault_mode::alert_only;
  };
  struct action {
    std::string name;
    std::string event = "backup";  // "backup" or "main"
    std::string host;
    int32_t port = 0;
    bool udp = false;  // the JSON transport is exactly "UDP"
    std::string payload;  // with escapes, undecoded
    int32_t delayMs = 0;
    int32_t timeoutMs = 1000;
    int32_t retries = 0;
    bool enabled = false;
  };

  bool armed = true;
  bool audible = false;
  int32_t lossMs = 1000;
  int32_t stallMs = 1500;
  int32_t outputMs = 1000;
  int32_t startupMs = 5000;
  fault_mode server = fault_mode::alert_failover;
  fault_mode engine = fault_mode::alert_failover;
  fault_mode responsive = fault_mode::alert_failover;
  fault_mode frames = fault_mode::alert_failover;
  fault_mode sync = fault_mode::alert_only;
  fault_mode clock = fault_mode::alert_only;
  fault_mode resources = fault_mode::alert_only;
  std::vector<output_rule> outputRules;
  std::vector<action> actions;
};

inline constexpr size_t kMaxOutputRules = 128;
inline constexpr size_t kMaxActions = 32;

// Reads a policy from JSON text. Never fails: a missing or malformed value
// (a number written in quotes included) takes its default.
protection_policy parse_protection_policy(std::string_view text);

// True when the policy may be saved; otherwise false with the first failing
// check's message in *error.
[[nodiscard]] bool validate_protection_policy(const protection_policy& policy,
                                              std::string* error);

// Compact JSON in the fixed key order; payloads keep their escapes.
std::string protection_policy_json(const protection_policy& policy);

}  // namespace tolvarine::operator_control
