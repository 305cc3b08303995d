// Runs the built show-server simulator as a child process for network
// tests (inside the private test namespace only) and talks to its /sim/
// control interface. Not thread-safe: one owner.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/http_client.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

class running_sim {
 public:
  // Starts `show-server-sim --address A --web-port P --serial S
  // --workstation W` plus `extra` arguments and waits until it serves.
  running_sim(const temp_dir& dir, std::string address, uint16_t web_port, std::string serial,
              std::string workstation, std::vector<std::string> extra = {})
      : address_(std::move(address)), web_port_(web_port) {
    stdout_path_ = dir.file("sim-" + address_ + "-" + std::to_string(web_port) + ".out");
    child_process::options options;
    options.args = {built_program("show-server-sim"), "--address", address_, "--web-port"};
    options.args.insert(options.args.end(), {std::to_string(web_port), "--serial", serial,
                                             "--workstation", workstation});
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.stdout_path = stdout_path_;
    options.stderr_path = stdout_path_ + ".err";
    process_ = std::make_unique<child_process>(options);
    ready_ = eventually(
        [&] { return read_text(stdout_path_).find("[sim] serving") != std::string::npos; },
        std::chrono::seconds(5));
  }
  ~running_sim() {
    process_->signal(15);
    (void)process_->wait_for(std::chrono::seconds(5));
  }

  bool ready() const { return ready_; }

  // GET (or POST with a body) on the simulator's web port.
  http_response call(const std::string& method, const std::string& path,
                     const std::string& body = "") const {
    return http_request(address_, web_port_, method, path, body, "application/octet-stream", 2000,
                        64u << 20);
  }
  // Sets knobs: "engine=stopped&clock=fault".
  void set(const std::string& query) const {
    http_response r = call("GET", "/sim/set?" + query);
    EXPECT_EQ(r.status, 200) << query << ": " << r.body;
  }
  std::string state() const { return call("GET", "/sim/state").body; }
  std::string event_model() const { return call("GET", "/sim/event-model").body; }
  void set_event_model(const std::string& model) const {
    EXPECT_EQ(call("POST", "/sim/event-model", model).status, 200);
  }

 private:
  std::string address_;
  uint16_t web_port_;
  std::string stdout_path_;
  std::unique_ptr<child_process> process_;
  bool ready_ = false;
};

}  // namespace tolvarine::operator_control::testing
