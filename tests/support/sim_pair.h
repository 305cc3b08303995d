// Two show-server simulators, a Main (S-MAIN on 10.77.0.2) and its Backup
// (S-BACK on 10.77.0.3), web port 5000, each with a control port that faults
// never close; the settings and registry calls that pair them. Only inside
// the private test network. Not thread-safe: one owner.
#pragma once

#include <string>
#include <vector>

#include "config/control_config.h"
#include "server/http_client.h"
#include "support/simulator.h"

namespace tolvarine::operator_control::testing {

class sim_pair {
 public:
  static constexpr const char* kMainAddress = "10.77.0.2";
  static constexpr const char* kBackupAddress = "10.77.0.3";
  static constexpr uint16_t kControlPort = 5100;
  // The agent's settings file with the pair registered.
  static constexpr const char* kPairedSettings =
      R"({"enabled":true,"controllerConfigured":true,"uiPort":5270,"systems":[)"
      R"({"serial":"S-MAIN","workstation":"Server A","address":"10.77.0.2","webPort":5000,)"
      R"("role":"Main","backupForSerial":""},)"
      R"({"serial":"S-BACK","workstation":"Server B","address":"10.77.0.3","webPort":5000,)"
      R"("role":"Backup","backupForSerial":"S-MAIN"}]})";

  // Starts both simulators; `extra_args` go to each of them.
  explicit sim_pair(std::vector<std::string> extra_args = {})
      : main_(kMainAddress, "S-MAIN", "Server A", 5000, with_control_port(extra_args)),
        backup_(kBackupAddress, "S-BACK", "Server B", 5000, with_control_port(extra_args)) {}

  bool ready() const { return main_.serving() && backup_.serving(); }
  // What the simulator at `address` wrote to its output.
  std::string log(const std::string& address) const {
    return address == kMainAddress ? main_.log() : backup_.log();
  }

  // Sets knobs ("engine=stopped&clock=fault") on one simulator.
  static bool set(const std::string& address, const std::string& knobs) {
    return http_request(address, kControlPort, "GET", "/sim/set?" + knobs, "", "", 2000, 4096)
               .status == 200;
  }
  // Registers both servers and pairs them, redundancy enabled.
  static void pair(control_config& config) {
    config.merge_discovered({{kMainAddress, 5000, "Server A", "S-MAIN"},
                             {kBackupAddress, 5000, "Server B", "S-BACK"}});
    config.configure_pair(true, "S-MAIN", "S-BACK");
  }

 private:
  static std::vector<std::string> with_control_port(std::vector<std::string> args) {
    args.insert(args.end(), {"--control-port", std::to_string(kControlPort)});
    return args;
  }
  simulator main_;
  simulator backup_;
};

}  // namespace tolvarine::operator_control::testing
