#include "sim_knobs.h"

#include <charconv>

namespace tolvarine::show_server_sim {

const std::vector<knob_info>& knob_table() {
  static const std::vector<knob_info> table = {
      // Discovery (UDP 1255).
      {"discovery", "on", "on | off: answer discovery questions"},
      {"discovery_delay_ms", "0", "wait before each discovery answer"},
      {"discovery_repeat", "1", "answers sent per question (duplicates)"},
      {"discovery_port_field", "", "text of field 1 of the answer (empty: the web port), e.g. abc"},
      {"discovery_reply", "", "non-empty: sent verbatim instead of the answer"},
      // HTTP transport faults.
      {"http", "normal",
       "normal | refuse (listener closed) | reset (accept, then close) | hang (read, never "
       "answer) | slow (answer after slow_ms)"},
      {"refuse_ms", "0", "with http=refuse: back to normal after this many ms (0: stay refusing)"},
      {"slow_ms", "1000", "delay before answering when http=slow"},
      {"hang_ms", "30000", "how long a connection is held when http=hang"},
      {"answer", "normal",
       "normal | truncated (Content-Length larger than the body sent) | chunked | broken_chunks | "
       "oversized (oversized_bytes of answer, no length) | garbage (no status line) | "
       "no_header_end (status and headers, no blank line)"},
      {"oversized_bytes", "104857600", "size of an answer=oversized"},
      {"fault_paths", "",
       "comma list of paths the http (except refuse) and answer faults apply to (empty: every "
       "/Home/ path)"},
      // Health: GET /Home/GetKelHealth.
      {"health_status", "200", "status of the health answer (404: no health telemetry)"},
      {"health_serial", "", "serial in the health answer (empty: own serial)"},
      {"health_version", "1", "version in the health answer"},
      {"engine", "running", "running | stopped | not_responsive | starting"},
      {"telemetry", "on", "on | off: telemetryAvailable"},
      {"frames", "flowing", "flowing | stalled (ageMs 60000) | none (empty channels array)"},
      {"frame_age_ms", "16", "ageMs of every channel while frames=flowing"},
      {"channels", "2", "number of channels"},
      {"outputs", "out-1,out-2", "ids of the outputs reported"},
      {"output_unavailable", "", "comma list of output ids reported available:false"},
      {"output_unknown", "", "comma list of output ids reported known:false"},
      {"clock", "none",
       "none (clockEngaged false) | healthy (engaged, healthy) | fault (engaged, unhealthy) | "
       "missing_health (engaged, no clockHealthy)"},
      {"resources", "normal",
       "normal | unknown (resourcesKnown false) | pressure (cpuPercent 97)"},
      {"cpu_percent", "23", "cpuPercent"},
      {"memory_available_percent", "61", "memoryAvailablePercent (4 or less: pressure)"},
      {"gpu_temperature", "58", "gpuTemperature (above 89: pressure)"},
      // Identity: GET /Home/GetOperatorControlIdentity.
      {"identity_status", "200", "status of the identity answer"},
      {"identity_serial", "", "serial in the identity answer (empty: own serial)"},
      // Replication: GET /Home/GetOperatorControlReplicationStatus.
      {"replication_status", "200", "status of the replication answer"},
      {"replication_enabled", "", "true | false (empty: the stored pairing's Enabled)"},
      {"replication_role", "", "Main | Backup | Independent (empty: own role in the pairing)"},
      {"replication_main_serial", "", "MainSerial (empty: the Main of the stored pairing)"},
      {"replication_revision", "7", "Revision (also the ReplicationRevision of a new event)"},
      {"replication_applied_revision", "7", "AppliedRevision"},
      {"pending_media", "0", "PendingMedia"},
      {"event_title", "Evening Show", "EventTitle"},
      {"last_error", "", "LastError"},
      // Pairing and event model.
      {"configuration_status", "200", "status of GET /Home/GetOperatorControlConfiguration"},
      {"event_model_status", "200", "status of GET /Home/GetEventModel"},
      {"event_model_error", "off", "on: GetEventModel answers 200 with \"ERROR: no event loaded\""},
      {"update", "accept",
       "accept | reject (200 \"Failed\") | ignore (200 \"OK\", model kept) | fail (500)"},
      // Operator decks.
      {"deck_status", "200", "status of the OperatorDeck* POST answers"},
      {"deck_state_status", "200", "status of GET /Home/OperatorDeckState"},
      {"deck_splash", "off", "on: every deck in the state answer has UseSplash true"},
      {"deck_pages", "3", "pages per deck (a key-down on a deck's last key turns the page)"},
      {"deck_key_status", "200", "status of POST /Home/OperatorDeckKeyEvent (e.g. 500: refused)"},
      {"deck_state_delay_ms", "0", "hold every state poll this long before answering (a hang)"},
  };
  return table;
}

sim_knobs::sim_knobs() {
  for (const knob_info& info : knob_table()) values_[info.name] = info.default_value;
}

bool sim_knobs::set(const std::string& name, const std::string& value) {
  auto it = values_.find(name);
  if (it == values_.end()) return false;
  it->second = value;
  return true;
}

const std::string& sim_knobs::text(const std::string& name) const {
  static const std::string empty;
  auto it = values_.find(name);
  return it == values_.end() ? empty : it->second;
}

long long sim_knobs::number(const std::string& name, long long fallback) const {
  const std::string& value = text(name);
  long long result = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
  if (error != std::errc() || end == value.data()) return fallback;
  return result;
}

bool sim_knobs::flag(const std::string& name) const {
  const std::string& value = text(name);
  return value == "on" || value == "true" || value == "1" || value == "yes";
}

std::vector<std::string> sim_knobs::list(const std::string& name) const {
  std::vector<std::string> items;
  const std::string& value = text(name);
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    if (comma > start) items.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

}  // namespace tolvarine::show_server_sim
