// Keeps the pairing of Main and Backup in step between the registry and the
// Main show server's event model (its "OperatorControl" property), and
// reads each server's replication status and identity.
//
// event_policy_client keeps no data: every operation is const and may run
// on any number of threads at once, each with its own connections. Its one
// lock, sync_mutex_, lets one synchronize_controller_policy at a time talk
// to the Main, so two read-modify-writes of its event model never
// interleave; lock order: sync_mutex_, then the registry's lock. Failure is
// an empty result or false; the synchronising operations also give one
// sentence for the operator in `message`. synchronize_controller_policy
// reads the registry through its locking accessors and never holds the
// registry's lock across a network call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/mutex.h"
#include "config/control_config.h"
#include "config/event_policy.h"
#include "config/system_record.h"
#include "server/http_client.h"

namespace tolvarine::operator_control {

// Operator messages of the pairing synchronisation.
inline constexpr const char* kPolicySynchronized = "Main event pairing is synchronized.";
inline constexpr const char* kEventUnreadable =
    "Main is online but its current event could not be read.";
inline constexpr const char* kEventUnprepared = "Main event configuration could not be prepared.";
inline constexpr const char* kUpdateRejected =
    "Main rejected the Redundancy Control pairing update.";
inline constexpr const char* kUpdateNotExposed =
    "Main accepted the update but has not exposed the new pairing yet.";
inline constexpr const char* kNotConfiguredHere =
    "Redundancy Control has not been configured on this workstation.";
inline constexpr const char* kChoosePair = "Choose a Main and Backup.";
inline constexpr const char* kMainNotInRegistry =
    "Configured Main is unavailable in the controller registry.";
inline constexpr const char* kMainOffline =
    "Pairing saved locally. Waiting for Main to come online.";

class event_policy_client {
 public:
  // The Main's published pairing; nothing unless the answer is status 200.
  std::optional<event_policy> fetch(const std::string& host, uint16_t port, int timeout_ms) const;
  // A server's replication progress; nothing unless status 200.
  std::optional<replication_status> fetch_replication_status(const std::string& host,
                                                             uint16_t port, int timeout_ms) const;
  // True only when the server at host:port answers with `serial` exactly.
  // False at once, without traffic, for port 0 or an empty host or serial.
  bool probe_identity(const std::string& host, uint16_t port, const std::string& serial,
                      int timeout_ms) const;
  // Same enabled flag, shared ids, and set of "serial|Role|backupFor" keys.
  static bool equivalent(const event_policy& a, const event_policy& b);
  // Writes `desired` into the Main's event model unless it already holds
  // an equivalent pairing, then confirms it. True when the Main is in step.
  // A model that arrived incomplete, or whose top-level object does not
  // close, is never written back.
  // Virtual so tests can stand in for the Main.
  [[nodiscard]] virtual bool synchronize_event_policy(const std::string& host, uint16_t port,
                                                      const event_policy& desired,
                                                      std::string& message, int timeout_ms) const;
  virtual ~event_policy_client() = default;

 private:
  friend bool synchronize_controller_policy(control_config& config,
                                            const event_policy_client& client,
                                            std::string& message);

  // IPv4 only, 32 MiB limit, body = every byte after the header block.
  static http_response request(const std::string& host, uint16_t port, const std::string& method,
                               const std::string& path, const std::string& body,
                               const std::string& content_type, int timeout_ms);
  // The Main's event model, only when the whole response arrived: status 0
  // when the body is short of its Content-Length or lacks its final chunk.
  static http_response read_event_model(const std::string& host, uint16_t port, int timeout_ms);

  mutable mutex sync_mutex_;  // held for one whole controller synchronisation
};

// The registry's pairing: enabled flag, shared ids, and every Main and
// Backup record in registry order (Independent servers left out).
event_policy build_controller_policy(const control_config& config);

// Pushes the local pairing to the Main when it is configured, paired and
// online; stores the outcome with set_policy_sync and returns it. One call
// at a time per client; a call that finds the pairing changed while it was
// being written writes it again (a few times at most), so the stored
// outcome is that of the pairing posted last.
bool synchronize_controller_policy(control_config& config, const event_policy_client& client,
                                   std::string& message);

// Parsers and writers, public for tests and fuzzing.
event_policy parse_event_policy(std::string_view body);
replication_status parse_replication_status(std::string_view body);
// The "OperatorControl" value: one line of compact JSON.
std::string operator_control_json(const event_policy& desired, int64_t revision);
// `model` with its OperatorControl value replaced by `value`, or the
// property inserted before its last '}'. Empty when the model has no '}'.
std::string place_operator_control(const std::string& model, const std::string& value);
// The form body that posts `model`: "room=prime&data=" + url_encode(model).
std::string event_model_form(const std::string& model);

}  // namespace tolvarine::operator_control
