#include "protection/protection_sample.h"

#include <vector>

#include "config/json_util.h"
#include "config/json_value.h"
#include "protection/json_numbers.h"

namespace tolvarine::operator_control {
namespace {

using protection_json::starts_with;

bool clock_fault(std::string_view body) {
  if (!starts_with(body, "clockEngaged", "true")) return false;
  return !starts_with(body, "clockHealthy", "true");
}

bool resource_pressure(std::string_view body) {
  if (!starts_with(body, "resourcesKnown", "true")) return false;
  const std::optional<int32_t> memory = protection_json::integer32(body, "memoryAvailablePercent");
  if (memory && *memory <= 4) return true;
  const std::optional<int32_t> cpu = protection_json::integer32(body, "cpuPercent");
  if (cpu && *cpu >= 95) return true;
  return protection_json::integer32(body, "gpuTemperature").value_or(0) > 89;
}

bool frame_stalled(std::string_view body, bool telemetry, int stall_ms) {
  const std::vector<std::string> channels = json_util::object_array(body, "channels");
  bool stalled = channels.empty() && telemetry;
  for (const std::string& channel : channels) {
    if (protection_json::integer(channel, "ageMs").value_or(0) >= stall_ms) stalled = true;
  }
  return stalled;
}

}  // namespace

std::optional<protection_sample> read_health_answer(std::string_view body,
                                                    const std::string& serial, int stall_ms,
                                                    steady_time now) {
  if (json_util::string_value(body, "serial", "") != serial) return std::nullopt;
  if (protection_json::integer(body, "version").value_or(0) != 1) return std::nullopt;
  protection_sample s;
  s.reachable = true;
  s.supported = true;
  s.engineRunning = starts_with(body, "engineRunning", "true");
  s.engineResponsive = starts_with(body, "engineResponsive", "true");
  s.telemetryAvailable = starts_with(body, "telemetryAvailable", "true");
  s.engineStarting = starts_with(body, "engineStarting", "true");
  s.updated = now;
  // Copied into the status document: only well-formed JSON, re-written
  // compactly; anything else counts as no outputs.
  const std::optional<std::string> outputs = compact_json(json_util::array_text(body, "outputs"));
  s.outputs = outputs ? *outputs : "[]";
  s.clock_fault = clock_fault(body);
  s.resource_pressure = resource_pressure(body);
  s.frameStalled = frame_stalled(body, s.telemetryAvailable, stall_ms);
  return s;
}

std::optional<protection_sample> read_identity_answer(std::string_view body,
                                                      const std::string& serial,
                                                      steady_time now) {
  if (json_util::string_value(body, "Serial", "") != serial) return std::nullopt;
  protection_sample s;
  s.reachable = true;
  s.updated = now;
  return s;
}

bool output_available(const protection_sample& sample, const std::string& id) {
  const std::string wrapped = "{\"outputs\":" + sample.outputs + "}";
  for (const std::string& output : json_util::object_array(wrapped, "outputs")) {
    if (json_util::string_value(output, "id", "") != id) continue;
    return starts_with(output, "available", "true") &&
           !starts_with(output, "known", "false");
  }
  return false;
}

}  // namespace tolvarine::operator_control
