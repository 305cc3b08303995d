// A simulated show server (the built show-server-sim) for network tests,
// bound to one 10.77.0.x address inside the private test network.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

class simulator {
 public:
  // Starts the simulator and waits (up to 5 s) until it serves.
  simulator(std::string address, std::string serial, std::string workstation, uint16_t web_port = 5000,
            std::vector<std::string> extra_args = {});
  ~simulator();

  bool serving() const { return serving_; }
  const std::string& address() const { return address_; }
  uint16_t web_port() const { return web_port_; }
  const std::string& serial() const { return serial_; }
  std::string log() const { return read_text(log_path_); }

  // GET /sim/set?<query>; true when the simulator answered OK.
  bool set(const std::string& query);
  // GET /sim/<path>: the body, empty on failure.
  std::string sim_get(const std::string& path);
  // POST /sim/reset: every knob back to its default.
  bool reset();
  // Replaces the stored event model.
  bool set_event_model(const std::string& model);
  void stop();

 private:
  std::string address_, serial_;
  uint16_t web_port_;
  temp_dir dir_;
  std::string log_path_;
  std::unique_ptr<child_process> process_;
  bool serving_ = false;
};

}  // namespace tolvarine::operator_control::testing
