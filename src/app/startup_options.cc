#include "app/startup_options.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/os_helpers.h"

namespace tolvarine::operator_control {
namespace {

std::string current_directory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string(".") : cwd.string();
}

std::string usage_text() {
  std::string text;
  text += std::string(kProgramName) + " " + kProgramVersion + "\n";
  text +=
      "Watches a Main and a Backup show server, routes operator commands to both and moves\n"
      "operation to the Backup when the Main fails.\n"
      "\n"
      "Usage: tolvarine-redundancy-control [options] [settings-file]\n"
      "\n"
      "Options:\n"
      "  --console         keep the log on this terminal instead of operator-control.log\n"
      "  --background      do not open the operator page at start\n"
      "  --configure       open the operator page in configure mode\n"
      "  --config PATH     use PATH as the settings file (also --config=PATH or a bare PATH)\n"
      "  --help            print this text and exit\n"
      "  --version         print the version and exit\n"
      "\n"
      "Files (beside the settings file):\n"
      "  operator-control.json                    settings and server registry\n"
      "  operator-control.json.protection.json    protection policy and held-on-Backup state\n"
      "  operator-control.json.protection.json.alerts.jsonl   alert log\n"
      "  operator-control.log, operator-control.lock\n"
      "Default folder: $XDG_CONFIG_HOME (or $HOME/.config)/Brellin Labs/Tolvarine OperatorControl\n"
      "\n"
      "Ports: admin API http://127.0.0.1:5251/, operator page http://127.0.0.1:5270/ (uiPort),\n"
      "discovery UDP 1255, server commands UDP 1256.\n";
  return text;
}

}  // namespace

std::optional<std::string> informational_request(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!argv[i]) continue;
    std::string_view arg = argv[i];
    if (arg == "--help") return usage_text();
    if (arg == "--version") return std::string(kProgramName) + " " + kProgramVersion + "\n";
  }
  return std::nullopt;
}

startup_options parse_command_line(int argc, char** argv, startup_options options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i] ? argv[i] : "";
    if (arg == "--console") {
      options.console = true;
    } else if (arg == "--background") {
      options.background = true;
    } else if (arg == "--configure") {
      options.configure = true;
    } else if (arg == "--config") {
      if (i + 1 < argc) {
        options.config_path = argv[i + 1] ? argv[i + 1] : "";
        options.explicit_path = true;
        ++i;
      }
    } else if (arg.starts_with("--config=")) {
      options.config_path = std::string(arg.substr(9));
      options.explicit_path = true;
    } else if (!arg.empty() && arg.front() != '-' && !options.explicit_path) {
      // The first bare argument names the settings file; later ones are ignored.
      options.config_path = std::string(arg);
      options.explicit_path = true;
    }
  }
  return options;
}

std::string data_directory() {
  const std::string config_home = platform_config_home();
  if (config_home.empty()) return current_directory();
  return (std::filesystem::path(config_home) / "Brellin Labs" / "Tolvarine OperatorControl").string();
}

std::string settings_folder(const std::string& config_path) {
  std::string parent = std::filesystem::path(config_path).parent_path().string();
  return parent.empty() ? current_directory() : parent;
}

}  // namespace tolvarine::operator_control
