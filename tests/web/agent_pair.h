// The built agent with two simulated show servers, Main 10.77.0.2 (S-MAIN)
// and Backup 10.77.0.3 (S-BACK), paired, enabled, with functions 1-3
// shared; for end-to-end benchmarks inside the private test network.
// Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/simulator.h"
#include "support/test_env.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {

class agent_pair {
 public:
  // `sim_args` go to both simulators (e.g. another command port).
  explicit agent_pair(std::vector<std::string> sim_args = {}) {
    main_ = std::make_unique<simulator>("10.77.0.2", "S-MAIN", "Server A", 5000, sim_args);
    backup_ = std::make_unique<simulator>("10.77.0.3", "S-BACK", "Server B", 5000, sim_args);
    if (!main_->serving() || !backup_->serving()) {
      error_ = "simulators did not start";
      return;
    }
    write_text(dir_.file("operator-control.json"),
               R"({"enabled":true,"controllerConfigured":true,"uiPort":5270,"systems":[)"
               R"({"serial":"S-MAIN","workstation":"Server A","address":"10.77.0.2",)"
               R"("webPort":5000,"role":"Main","backupForSerial":""},)"
               R"({"serial":"S-BACK","workstation":"Server B","address":"10.77.0.3",)"
               R"("webPort":5000,"role":"Backup","backupForSerial":"S-MAIN"}],)"
               R"("sharedFunctionIds":[1,2,3]})");
    child_process::options o;
    o.args = {agent_program(), "--console", "--background", "--config",
              dir_.file("operator-control.json")};
    o.env = {{"HOME", dir_.path()}};
    o.stdout_path = dir_.file("agent.out");
    o.stderr_path = dir_.file("agent.err");
    agent_ = std::make_unique<child_process>(o);
    // Ready once discovery has seen both servers online.
    const bool ready = eventually(
        [&] {
          const auto reply = exchange(5251, get("/api/status"), std::chrono::milliseconds(1000));
          const std::string body = reply ? body_of(*reply) : "";
          const size_t first = body.find("\"online\":true");
          return first != std::string::npos && first != body.rfind("\"online\":true");
        },
        std::chrono::seconds(20));
    if (!ready)
      error_ = "the agent did not report both servers online: " + read_text(dir_.file("agent.err"));
  }

  ~agent_pair() {
    if (!agent_) return;
    agent_->signal(15);
    agent_->wait_for(std::chrono::seconds(5));
  }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int agent_pid() const { return agent_ ? agent_->pid() : -1; }

 private:
  temp_dir dir_;
  std::unique_ptr<simulator> main_;
  std::unique_ptr<simulator> backup_;
  std::unique_ptr<child_process> agent_;
  std::string error_;
};

}  // namespace tolvarine::operator_control::testing
