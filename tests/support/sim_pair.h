// Two show-server simulators for the failover benchmark: a Main (S-MAIN on 10.77.0.2) and its Backup (S-BACK on
// 10.77.0.3), each with a control port that faults never close, and a
// registry pairing them. Only inside the private test network.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/unique_fd.h"

#include "config/control_config.h"
#include "protection/json_numbers.h"
#include "server/http_client.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

class sim_pair {
 public:
  static constexpr const char* kMainAddress = "10.77.0.2";
  static constexpr const char* kBackupAddress = "10.77.0.3";
  static constexpr uint16_t kControlPort = 5100;
  // The agent's admin port, and its settings file with the pair registered.
  static constexpr uint16_t kAdminPort = 5251;
  static constexpr const char* kPairedSettings =
      R"({"enabled":true,"controllerConfigured":true,"uiPort":5270,"systems":[)"
      R"({"serial":"S-MAIN","workstation":"Server A","address":"10.77.0.2","webPort":5000,)"
      R"("role":"Main","backupForSerial":""},)"
      R"({"serial":"S-BACK","workstation":"Server B","address":"10.77.0.3","webPort":5000,)"
      R"("role":"Backup","backupForSerial":"S-MAIN"}]})";

  sim_pair() : main_(start(kMainAddress, "S-MAIN", "Server A")),
               backup_(start(kBackupAddress, "S-BACK", "Server B")) {}

  // True once both simulators serve.
  bool ready() const {
    auto serving = [&](const std::string& name) {
      return read_text(dir_.file(name)).find("[sim] serving") != std::string::npos;
    };
    return eventually([&] { return serving("10.77.0.2.out") && serving("10.77.0.3.out"); },
                      std::chrono::seconds(10));
  }

  // Sets knobs ("engine=stopped&clock=fault") on one simulator.
  static bool set(const std::string& address, const std::string& knobs) {
    return http_request(address, kControlPort, "GET", "/sim/set?" + knobs, "", "", 2000, 4096)
               .status == 200;
  }
  static bool reset(const std::string& address) {
    return http_request(address, kControlPort, "POST", "/sim/reset", "", "", 2000, 4096).status ==
           200;
  }
  // How many times `path` was requested from the simulator.
  static long long count(const std::string& address, const std::string& path) {
    const http_response state =
        http_request(address, kControlPort, "GET", "/sim/state", "", "", 2000, 1 << 20);
    return protection_json::integer(state.body, path).value_or(0);
  }

  // Registers both servers and pairs them, redundancy enabled.
  static void pair(control_config& config) {
    config.merge_discovered({{kMainAddress, 5000, "Server A", "S-MAIN"},
                             {kBackupAddress, 5000, "Server B", "S-BACK"}});
    config.configure_pair(true, "S-MAIN", "S-BACK");
  }

  // A socket bound to `port` of 10.77.0.8, the address test devices listen on.
  static unique_fd device_socket(int type, uint16_t port) {
    unique_fd fd(::socket(AF_INET, type, 0));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "10.77.0.8", &a.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return {};
    return fd;
  }

  const temp_dir& dir() const { return dir_; }

 private:
  std::unique_ptr<child_process> start(const std::string& address, const std::string& serial,
                                       const std::string& workstation) {
    child_process::options o;
    o.args = {built_program("show-server-sim"), "--address", address,        "--web-port",
              "5000", "--serial", serial, "--workstation", workstation, "--control-port",
              std::to_string(kControlPort)};
    o.stdout_path = dir_.file(address + ".out");
    o.stderr_path = dir_.file(address + ".err");
    return std::make_unique<child_process>(o);
  }

  temp_dir dir_;
  std::unique_ptr<child_process> main_;
  std::unique_ptr<child_process> backup_;
};

}  // namespace tolvarine::operator_control::testing
