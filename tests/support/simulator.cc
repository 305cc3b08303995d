#include "support/simulator.h"

#include <signal.h>

#include "server/http_client.h"

namespace tolvarine::operator_control::testing {

using namespace std::chrono_literals;

simulator::simulator(std::string address, std::string serial, std::string workstation, uint16_t web_port,
                     std::vector<std::string> extra_args)
    : address_(std::move(address)), serial_(std::move(serial)), web_port_(web_port) {
  log_path_ = dir_.file("sim.log");
  child_process::options o;
  o.args = {built_program("show-server-sim"), "--address", address_, "--web-port", std::to_string(web_port_),
            "--serial", serial_, "--workstation", workstation};
  o.args.insert(o.args.end(), extra_args.begin(), extra_args.end());
  o.stdout_path = log_path_;
  o.stderr_path = log_path_;
  process_ = std::make_unique<child_process>(o);
  serving_ = eventually([&] { return read_text(log_path_).find("[sim] serving") != std::string::npos; }, 5s);
}

simulator::~simulator() { stop(); }

void simulator::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  process_->wait_for(3s);
  process_.reset();
}

bool simulator::set(const std::string& query) {
  http_response r = http_request(address_, web_port_, "GET", "/sim/set?" + query, "", "", 2000, 65536);
  return r.status == 200;
}

std::string simulator::sim_get(const std::string& path) {
  http_response r = http_request(address_, web_port_, "GET", "/sim/" + path, "", "", 2000, 8 << 20);
  return r.status == 200 ? r.body : "";
}

bool simulator::reset() {
  return http_request(address_, web_port_, "POST", "/sim/reset", "", "", 2000, 65536).status == 200;
}

bool simulator::set_event_model(const std::string& model) {
  http_response r = http_request(address_, web_port_, "POST", "/sim/event-model", model, "application/json",
                                 2000, 65536);
  return r.status == 200;
}

}  // namespace tolvarine::operator_control::testing
