// The texts a simulated show server answers with, built from its identity,
// its knobs and its stored event model. Pure functions; no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim_knobs.h"

namespace tolvarine::show_server_sim {

struct sim_identity {
  std::string address;
  uint16_t web_port = 5000;
  std::string serial;
  std::string workstation;
};

// GET /Home/GetKelHealth body (every field the agent's health poll reads).
std::string health_json(const sim_identity& self, const sim_knobs& knobs);
// GET /Home/GetOperatorControlIdentity body.
std::string identity_json(const sim_identity& self, const sim_knobs& knobs);
// The OperatorControl object of the event model, or a disabled empty
// pairing when the model has none.
std::string configuration_json(const std::string& event_model, const sim_knobs& knobs);
// GET /Home/GetOperatorControlReplicationStatus body.
std::string replication_json(const sim_identity& self, const std::string& event_model,
                             const sim_knobs& knobs);
// The event model a fresh simulator holds.
std::string initial_event_model(const sim_knobs& knobs);
// The discovery answer datagram.
std::string discovery_answer(const sim_identity& self, const sim_knobs& knobs);
// The small web page at "/".
std::string index_html(const sim_identity& self);

// Form decoding: '+' is a blank, %XX a byte (a malformed escape is kept).
std::string url_decode(const std::string& text);
// Value of `key` in an application/x-www-form-urlencoded body, decoded.
std::optional<std::string> form_value(const std::string& body, const std::string& key);

std::string json_string(const std::string& text);  // quoted and escaped

}  // namespace tolvarine::show_server_sim
