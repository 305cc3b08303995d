#include "sim_answers.h"

#include <string_view>
#include <vector>

#include "config/json_util.h"

namespace tolvarine::show_server_sim {
namespace {

namespace ju = operator_control::json_util;

const char* boolean(bool value) { return value ? "true" : "false"; }

bool contains(const std::vector<std::string>& items, const std::string& item) {
  for (const std::string& x : items) {
    if (x == item) return true;
  }
  return false;
}

// The raw value of OperatorControl (either spelling) when it is an object.
std::string operator_control_object(const std::string& model) {
  for (const char* key : {"OperatorControl", "operatorControl"}) {
    size_t start = 0;
    size_t end = 0;
    if (operator_control::find_property_span(model, key, start, end) && model[start] == '{') {
      return model.substr(start, end - start);
    }
  }
  return {};
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string json_string(const std::string& text) { return "\"" + ju::escape(text) + "\""; }

std::string health_json(const sim_identity& self, const sim_knobs& knobs) {
  std::string serial = knobs.text("health_serial").empty() ? self.serial : knobs.text("health_serial");
  bool running = knobs.is("engine", "running") || knobs.is("engine", "not_responsive");
  bool responsive = knobs.is("engine", "running");
  bool starting = knobs.is("engine", "starting");

  std::string channels = "[";
  if (!knobs.is("frames", "none")) {
    long long age = knobs.is("frames", "stalled") ? 60000 : knobs.number("frame_age_ms", 16);
    long long count = knobs.number("channels", 2);
    for (long long i = 1; i <= count && i <= 64; ++i) {
      if (i > 1) channels += ",";
      channels += "{\"index\":" + std::to_string(i) + ",\"name\":\"Channel " +
                  std::to_string(i) + "\",\"ageMs\":" + std::to_string(age) + ",\"fps\":60}";
    }
  }
  channels += "]";

  std::string outputs = "[";
  std::vector<std::string> unavailable = knobs.list("output_unavailable");
  std::vector<std::string> unknown = knobs.list("output_unknown");
  bool first = true;
  for (const std::string& id : knobs.list("outputs")) {
    if (!first) outputs += ",";
    first = false;
    outputs += "{\"id\":" + json_string(id) + ",\"available\":" +
               boolean(!contains(unavailable, id)) + ",\"known\":" +
               boolean(!contains(unknown, id)) + "}";
  }
  outputs += "]";

  std::string clock;
  if (knobs.is("clock", "healthy")) {
    clock = "\"clockEngaged\":true,\"clockHealthy\":true";
  } else if (knobs.is("clock", "fault")) {
    clock = "\"clockEngaged\":true,\"clockHealthy\":false";
  } else if (knobs.is("clock", "missing_health")) {
    clock = "\"clockEngaged\":true";
  } else {
    clock = "\"clockEngaged\":false,\"clockHealthy\":true";
  }

  long long cpu = knobs.is("resources", "pressure") ? 97 : knobs.number("cpu_percent", 23);
  std::string resources = std::string("\"resourcesKnown\":") +
                          boolean(!knobs.is("resources", "unknown")) +
                          ",\"cpuPercent\":" + std::to_string(cpu) +
                          ",\"memoryAvailablePercent\":" + knobs.text("memory_available_percent") +
                          ",\"gpuTemperature\":" + knobs.text("gpu_temperature");

  return "{\"serial\":" + json_string(serial) + ",\"version\":" + knobs.text("health_version") +
         ",\"workstation\":" + json_string(self.workstation) + ",\"engineRunning\":" +
         boolean(running) + ",\"engineResponsive\":" + boolean(responsive) +
         ",\"engineStarting\":" + boolean(starting) + ",\"telemetryAvailable\":" +
         boolean(knobs.flag("telemetry")) + ",\"channels\":" + channels + ",\"outputs\":" +
         outputs + "," + clock + "," + resources + "}";
}

std::string identity_json(const sim_identity& self, const sim_knobs& knobs) {
  std::string serial =
      knobs.text("identity_serial").empty() ? self.serial : knobs.text("identity_serial");
  return "{\"Serial\":" + json_string(serial) + ",\"WorkstationName\":" +
         json_string(self.workstation) + ",\"Address\":" + json_string(self.address) +
         ",\"WebPort\":" + std::to_string(self.web_port) + "}";
}

std::string configuration_json(const std::string& event_model, const sim_knobs& knobs) {
  std::string object = operator_control_object(event_model);
  if (!object.empty()) return object;
  return "{\"Enabled\":false,\"Systems\":[],\"SharedFunctionIds\":[],\"ReplicationRevision\":" +
         std::to_string(knobs.number("replication_revision", 0)) + "}";
}

std::string replication_json(const sim_identity& self, const std::string& event_model,
                             const sim_knobs& knobs) {
  std::string pairing = configuration_json(event_model, knobs);
  bool enabled = ju::bool_value(pairing, "Enabled", false);
  std::string role = "Independent";
  std::string main_serial;
  for (const std::string& system : ju::object_array(pairing, "Systems")) {
    std::string serial = operator_control::first_string(system, "Serial", "serial");
    std::string system_role = operator_control::first_string(system, "Role", "role");
    if (serial == self.serial && !system_role.empty()) role = system_role;
    if (system_role == "Main" && main_serial.empty()) main_serial = serial;
  }
  if (!knobs.text("replication_enabled").empty()) enabled = knobs.flag("replication_enabled");
  if (!knobs.text("replication_role").empty()) role = knobs.text("replication_role");
  if (!knobs.text("replication_main_serial").empty()) {
    main_serial = knobs.text("replication_main_serial");
  }
  return std::string("{\"Enabled\":") + boolean(enabled) + ",\"Role\":" + json_string(role) +
         ",\"LocalSerial\":" + json_string(self.serial) + ",\"MainSerial\":" +
         json_string(main_serial) + ",\"Revision\":" +
         std::to_string(knobs.number("replication_revision", 0)) + ",\"AppliedRevision\":" +
         std::to_string(knobs.number("replication_applied_revision", 0)) +
         ",\"PendingMedia\":" + std::to_string(knobs.number("pending_media", 0)) +
         ",\"EventTitle\":" + json_string(knobs.text("event_title")) +
         ",\"LastError\":" + json_string(knobs.text("last_error")) + "}";
}

std::string initial_event_model(const sim_knobs& knobs) {
  return "{\"Name\":" + json_string(knobs.text("event_title")) +
         ",\"Room\":\"prime\",\"Cues\":[{\"Id\":1,\"Name\":\"Walk-in\"},{\"Id\":2,\"Name\":"
         "\"Opening\"}],\"ReplicationRevision\":" +
         std::to_string(knobs.number("replication_revision", 0)) + "}";
}

std::string discovery_answer(const sim_identity& self, const sim_knobs& knobs) {
  if (!knobs.text("discovery_reply").empty()) return knobs.text("discovery_reply");
  std::string port = knobs.text("discovery_port_field").empty()
                         ? std::to_string(self.web_port)
                         : knobs.text("discovery_port_field");
  return "tolvarine-server!," + port + "," + self.workstation + "," + self.serial;
}

std::string index_html(const sim_identity& self) {
  std::string name = ju::escape(self.workstation);
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + name +
         "</title></head><body style=\"font-family:sans-serif;background:#111;color:#eee\">"
         "<h1>Tolvarine show server (simulated)</h1><p>Workstation: " +
         name + "</p><p>Serial: " + ju::escape(self.serial) + "</p><p>Address: " + self.address +
         ":" + std::to_string(self.web_port) + "</p></body></html>";
}

std::string url_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::string> form_value(const std::string& body, const std::string& key) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t amp = body.find('&', start);
    if (amp == std::string::npos) amp = body.size();
    std::string_view pair(body.data() + start, amp - start);
    size_t eq = pair.find('=');
    if (url_decode(std::string(pair.substr(0, eq))) == key) {
      return eq == std::string_view::npos ? std::string() : url_decode(std::string(pair.substr(eq + 1)));
    }
    start = amp + 1;
  }
  return std::nullopt;
}

}  // namespace tolvarine::show_server_sim
