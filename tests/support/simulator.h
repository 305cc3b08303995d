// A simulated show server (the built show-server-sim) bound to one 10.77.0.x
// address inside the private test network. Not thread-safe: one owner.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

class simulator {
 public:
  // Starts the simulator and waits (up to 5 s) until it serves.
  simulator(const std::string& address, const std::string& serial, const std::string& workstation,
            uint16_t web_port = 5000, std::vector<std::string> extra_args = {}) {
    extra_args.insert(extra_args.begin(), {built_program("show-server-sim"), "--address", address, "--web-port",
                                           std::to_string(web_port), "--serial", serial, "--workstation", workstation});
    child_process::options o;
    o.args = extra_args;
    o.stdout_path = o.stderr_path = log_path_;
    process_ = std::make_unique<child_process>(o);
    serving_ = eventually([&] { return log().find("[sim] serving") != std::string::npos; }, std::chrono::seconds(5));
  }
  ~simulator() {
    process_->signal(SIGTERM);
    process_->wait_for(std::chrono::seconds(3));
  }

  bool serving() const { return serving_; }
  std::string log() const { return read_text(log_path_); }

 private:
  temp_dir dir_;
  std::string log_path_ = dir_.file("sim.log");
  std::unique_ptr<child_process> process_;
  bool serving_ = false;
};

}  // namespace tolvarine::operator_control::testing
