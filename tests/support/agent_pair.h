// The built agent with the simulator pair (sim_pair.h), paired, enabled,
// with functions 1-3 shared; for end-to-end tests and benchmarks inside the
// private test network. Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/sim_pair.h"
#include "support/test_env.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {

class agent_pair {
 public:
  // `sim_args` go to both simulators (e.g. another command port);
  // `protection` is the protection settings file written before the start.
  explicit agent_pair(const std::vector<std::string>& sim_args = {}, const std::string& protection = "")
      : sims_(sim_args) {
    std::string text = sim_pair::kPairedSettings;
    write_text(settings(), text.insert(text.size() - 1, R"(,"sharedFunctionIds":[1,2,3])"));
    if (!protection.empty()) write_text(settings() + ".protection.json", protection);
    if (sims_.ready()) start(); else error_ = "simulators did not start";
  }
  ~agent_pair() { stop(); }

  // Starts the agent and waits until discovery has seen both servers online.
  void start() {
    agent_ = std::make_unique<child_process>(agent_options({"--console", "--background", "--config", settings()},
                                                           dir_.path(), dir_.file("agent.out"), dir_.file("agent.err")));
    const bool ready = eventually([&] {
      const std::string body = status();
      return body.find("\"online\":true") != body.rfind("\"online\":true");  // seen twice: both servers
    }, std::chrono::seconds(20));
    if (!ready) error_ = "the agent did not report both servers online: " + err();
  }
  // SIGTERM; returns the exit code (-1 on time-out or when not running).
  int stop() {
    if (!agent_) return -1;
    agent_->signal(15);
    return std::exchange(agent_, nullptr)->wait_for(std::chrono::seconds(10)).value_or(-1);
  }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  int agent_pid() const { return agent_ ? agent_->pid() : -1; }
  const sim_pair& sims() const { return sims_; }
  std::string settings() const { return dir_.file("operator-control.json"); }
  std::string out() const { return read_text(dir_.file("agent.out")); }
  std::string err() const { return read_text(dir_.file("agent.err")); }

  // The admin API's answers: the body of GET /api/status, the whole reply to a POST.
  static std::string status() {
    return body_of(exchange(5251, get("/api/status"), std::chrono::milliseconds(2000)).value_or(""));
  }
  static std::string post_reply(const std::string& path, const std::string& body) {
    return exchange(5251, post(path, body)).value_or("");
  }

 private:
  sim_pair sims_;
  temp_dir dir_;
  std::unique_ptr<child_process> agent_;
  std::string error_;
};

}  // namespace tolvarine::operator_control::testing
