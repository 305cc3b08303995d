// show-server-sim: stands in for one show server on one IPv4 address.
// See README.md beside this file for the control knobs.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "common/atomic_file.h"
#include "sim_server.h"

namespace sim = tolvarine::show_server_sim;

namespace {

void print_usage() {
  std::cout <<
      "Usage: show-server-sim --address A.B.C.D [options]\n"
      "\n"
      "Simulates one show server on one IPv4 address: HTTP on the web port,\n"
      "discovery answers on UDP 1255 (port shared with other simulators),\n"
      "and a log line \"[sim] udp from <addr>:<port> <payload>\" for every\n"
      "datagram received on UDP 1256.\n"
      "\n"
      "Options:\n"
      "  --address A.B.C.D     address to bind (required)\n"
      "  --web-port N          HTTP port (default 5000)\n"
      "  --serial S            serial number (default SIM-0001)\n"
      "  --workstation NAME    workstation name (default \"Sim Server\")\n"
      "  --control-port N      extra HTTP port answering only /sim/ (default: none)\n"
      "  --discovery-port N    UDP discovery port (default 1255)\n"
      "  --command-port N      UDP command port (default 1256)\n"
      "  --event-model FILE    initial event model (default: a small built-in one)\n"
      "  --set NAME=VALUE      initial knob value (repeatable)\n"
      "  --help                this text\n"
      "\n"
      "Control (HTTP on the web port, or on --control-port):\n"
      "  GET|POST /sim/set?NAME=VALUE&...   change knobs (400 \"Unknown knob: NAME\")\n"
      "  POST /sim/reset                    knobs, event model and records to defaults\n"
      "  GET  /sim/state                    knobs, request counts, updates, deck records\n"
      "  GET  /sim/event-model              the stored event model\n"
      "  POST /sim/event-model              replace it with the request body\n"
      "  GET  /sim/udp                      the last 256 datagrams received on 1256\n"
      "  GET  /sim/requests                 the last 256 request lines\n"
      "  GET  /sim/help                     the knob list\n"
      "\n"
      "Knobs (name, default, meaning):\n";
  for (const sim::knob_info& info : sim::knob_table()) {
    std::cout << "  " << info.name << " = \"" << info.default_value << "\"\n      "
              << info.description << "\n";
  }
  std::cout.flush();
}

bool parse_port(const std::string& text, uint16_t& out) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > 65535) return false;
  out = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sim::sim_options options;
  options.identity.serial = "SIM-0001";
  options.identity.workstation = "Sim Server";
  std::vector<std::pair<std::string, std::string>> initial;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_usage();
      return 0;
    }
    if (i + 1 >= argc) {
      std::cerr << "show-server-sim: " << arg << " needs a value (see --help)" << std::endl;
      return 2;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (arg == "--address") {
      options.identity.address = value;
    } else if (arg == "--web-port") {
      ok = parse_port(value, options.identity.web_port);
    } else if (arg == "--serial") {
      options.identity.serial = value;
    } else if (arg == "--workstation") {
      options.identity.workstation = value;
    } else if (arg == "--control-port") {
      ok = parse_port(value, options.control_port);
    } else if (arg == "--discovery-port") {
      ok = parse_port(value, options.discovery_port);
    } else if (arg == "--command-port") {
      ok = parse_port(value, options.command_port);
    } else if (arg == "--event-model") {
      std::string text;
      ok = tolvarine::operator_control::read_file(value, &text);
      options.event_model = text;
    } else if (arg == "--set") {
      size_t eq = value.find('=');
      ok = eq != std::string::npos;
      if (ok) initial.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else {
      std::cerr << "show-server-sim: unknown option " << arg << " (see --help)" << std::endl;
      return 2;
    }
    if (!ok) {
      std::cerr << "show-server-sim: bad value for " << arg << ": " << value << std::endl;
      return 2;
    }
  }
  if (options.identity.address.empty()) {
    std::cerr << "show-server-sim: --address is required (see --help)" << std::endl;
    return 2;
  }

  // Signals are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim::sim_server server(options);
  for (const auto& [name, value] : initial) {
    if (!server.set_knob(name, value)) {
      std::cerr << "show-server-sim: unknown knob " << name << " (see --help)" << std::endl;
      return 2;
    }
  }
  std::string error;
  if (!server.start(error)) {
    std::cerr << "show-server-sim: " << error << std::endl;
    return 1;
  }
  int received = 0;
  sigwait(&signals, &received);
  std::cout << "[sim] stopping" << std::endl;
  server.stop();
  return 0;
}
