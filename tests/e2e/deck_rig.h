// The built agent with virtual Stream Decks and two simulators (S-MAIN on
// 10.77.0.2, S-BACK on 10.77.0.3, paired): shared by the deck scenario test
// and the key-latency benchmark. Only inside the private test network.
#pragma once

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "server/http_client.h"
#include "support/sim_pair.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

class deck_rig {
 public:
  deck_rig() {
    write_text(settings_, sim_pair::kPairedSettings);
    write_text(settings_ + ".protection.json", R"({"startupMs":1000})");
    std::filesystem::create_directories(decks_);
  }
  ~deck_rig() { stop_agent(); }

  bool ready() const { return sims_.ready(); }
  // The attached decks, one "PID SERIAL [NAME]" line each.
  void set_decks(const std::string& lines) {
    write_text(decks_ + "/decks.tmp", lines);
    std::filesystem::rename(decks_ + "/decks.tmp", decks_ + "/decks");
  }
  void start_agent() {
    auto o = agent_options({"--config", settings_, "--background", "--console"}, home_.path(),
                           home_.file("agent.out"), home_.file("agent.err"));
    o.env.insert({{"TRC_VIRTUAL_DECKS", decks_}, {"LD_PRELOAD", built_program("libtrc-virtual-decks.so")}});
    agent_ = std::make_unique<child_process>(o);
  }
  // SIGTERM and the exit code (nothing when it did not end in 10 s).
  std::optional<int> stop_agent() {
    if (!agent_) return std::nullopt;
    agent_->signal(SIGTERM);
    return std::exchange(agent_, nullptr)->wait_for(std::chrono::seconds(10));
  }
  // Appends "down K" or "up K" to the deck's key file.
  void key(const std::string& serial, int index, bool down) {
    std::ofstream(decks_ + "/" + serial + ".keys", std::ios::app)
        << (down ? "down " : "up ") << index << "\n";
  }
  std::string out() const { return read_text(home_.file("agent.out")); }
  std::string err() const { return read_text(home_.file("agent.err")); }
  // Every report the deck received, as the virtual-deck library wrote them.
  std::string reports(const std::string& serial) const { return read_text(decks_ + "/" + serial + ".reports"); }
  // What a simulator wrote to its standard output.
  std::string sim_log(const std::string& address) const { return sims_.log(address); }
  // The body of a GET from a simulator's control port or the agent's admin API.
  static std::string get(const char* address, uint16_t port, const char* path) {
    return http_request(address, port, "GET", path, "", "", 2000, 1 << 24).body;
  }

 private:
  sim_pair sims_;
  temp_dir home_;
  std::string settings_ = home_.file("operator-control.json");
  std::string decks_ = home_.file("decks");
  std::unique_ptr<child_process> agent_;
};

}  // namespace tolvarine::operator_control::testing
