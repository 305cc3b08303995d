// Starts the built agent as a child process for end-to-end tests.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/test_env.h"

namespace tolvarine::operator_control::testing {

// Data folder of the agent under a given HOME.
inline std::string data_folder(const std::string& home) {
  return home + "/.config/Brellin Labs/Tolvarine OperatorControl";
}

struct agent_run {
  std::vector<std::string> args;      // after the program path
  std::string home;                   // empty: HOME unset
  std::string cwd;
  std::string stdout_path;
  std::string stderr_path;
};

inline child_process::options agent_options(const agent_run& run) {
  child_process::options o;
  o.args.push_back(agent_program());
  o.args.insert(o.args.end(), run.args.begin(), run.args.end());
  o.unset_env.push_back("XDG_CONFIG_HOME");
  if (run.home.empty()) {
    o.unset_env.push_back("HOME");
  } else {
    o.env["HOME"] = run.home;
  }
  o.cwd = run.cwd;
  o.stdout_path = run.stdout_path;
  o.stderr_path = run.stderr_path;
  return o;
}

inline bool file_contains(const std::string& path, const std::string& text) {
  return read_text(path).find(text) != std::string::npos;
}

}  // namespace tolvarine::operator_control::testing
