// The latest health of one show server, as reduced from its health answer,
// and the readers that turn a server's answers into a sample. Plain values;
// the functions are pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace tolvarine::operator_control {

struct protection_sample {
  bool reachable = false;  // the last stored poll succeeded
  bool supported = false;  // the health endpoint answered for this serial, version 1
  bool engineRunning = false;
  bool engineResponsive = false;
  bool telemetryAvailable = false;
  bool engineStarting = false;
  bool frameStalled = false;
  bool clock_fault = false;
  bool resource_pressure = false;
  steady_time updated{};
  std::string outputs = "[]";  // the health field "outputs", compact; [] unless a valid array
};

// The health request and its limits.
inline constexpr const char* kHealthPath = "/Home/GetKelHealth";
inline constexpr const char* kIdentityPath = "/Home/GetOperatorControlIdentity";
inline constexpr int kPollTimeoutMs = 350;
inline constexpr size_t kHealthMaxBytes = 262144;
inline constexpr size_t kIdentityMaxBytes = 4096;

// Reads a 200 health answer. Nothing when it names another serial or a
// version other than 1; otherwise a reachable, supported sample stamped
// `now`, with the clock, resource and frame rules applied (a channel whose
// frame age reaches `stall_ms` is stalled).
std::optional<protection_sample> read_health_answer(std::string_view body,
                                                    const std::string& serial, int stall_ms,
                                                    steady_time now);

// Reads a 200 identity answer of a server without the health endpoint: a
// reachable, unsupported sample when its serial matches, else nothing.
std::optional<protection_sample> read_identity_answer(std::string_view body,
                                                      const std::string& serial,
                                                      steady_time now);

// Whether the sample's outputs list holds the output `id`, available and
// not known to be unknown.
bool output_available(const protection_sample& sample, const std::string& id);

}  // namespace tolvarine::operator_control
