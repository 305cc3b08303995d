// The command line and the file locations that follow from it.
#pragma once

#include <optional>
#include <string>

namespace tolvarine::operator_control {

inline constexpr const char* kProgramName = "Tolvarine-Redundancy-Control";
inline constexpr const char* kProgramVersion = "0.9.2";

struct startup_options {
  bool console = false;
  bool background = false;
  bool configure = false;
  std::string config_path;     // the settings file
  bool explicit_path = false;  // config_path came from the command line
};

// What --help or --version asks for, if present anywhere on the command
// line: the text to print before exiting at once.
std::optional<std::string> informational_request(int argc, char** argv);

// Reads the command line over `defaults` (whose config_path is the default
// settings file). Unknown options and empty arguments are ignored.
startup_options parse_command_line(int argc, char** argv, startup_options defaults);

// $XDG_CONFIG_HOME/Brellin Labs/Tolvarine OperatorControl ($HOME/.config
// when XDG_CONFIG_HOME is unset or relative), or the current working
// directory when HOME is unset.
std::string data_directory();

// The folder holding the settings file (the current working directory when
// the path has none): the log and the lock file live there.
std::string settings_folder(const std::string& config_path);

}  // namespace tolvarine::operator_control
