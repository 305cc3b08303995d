// Helpers shared by tests: temporary folders, the private test network and
// child processes of the built programs.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolvarine::operator_control::testing {

// A fresh folder under /tmp, removed with everything in it on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// True inside the private namespace the test command creates (it exports
// TRC_TEST_NETNS=1 and puts 10.77.0.1-9 on a veth link).
bool in_test_network();
// Message for tests that refuse to run on the host network.
inline constexpr const char* kNeedsTestNetwork =
    "This test sends real network traffic; run it through scripts/test.sh, "
    "which provides the private network namespace.";

// Path of a program built into the build tree (the agent, the simulator).
std::string built_program(const std::string& name);
inline std::string agent_program() { return built_program("tolvarine-redundancy-control"); }

std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& content);
inline bool file_has(const std::string& path, const std::string& text) {
  return read_text(path).find(text) != std::string::npos;
}

// A child process with stdout and stderr sent to files. Killed (SIGKILL) on
// destruction if still running. Not thread-safe.
class child_process {
 public:
  struct options {
    std::vector<std::string> args;  // args[0] is the program path
    std::map<std::string, std::string> env;  // added to this process's environment
    std::vector<std::string> unset_env;      // removed from the environment
    std::string cwd;                         // empty: current folder
    std::string stdout_path;                 // empty: /dev/null
    std::string stderr_path;                 // empty: /dev/null
  };
  explicit child_process(const options& opts);
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  int pid() const { return pid_; }
  bool running();
  void signal(int sig);
  // Waits up to `limit` for exit; returns the exit code (128+signal when
  // killed by one), or nothing on time-out.
  std::optional<int> wait_for(std::chrono::milliseconds limit);

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// The one way tests start the built agent: `args` after the program path,
// HOME set to `home` (unset when empty), XDG_CONFIG_HOME unset, output sent
// to the given files (empty: /dev/null). Callers may add to the result.
child_process::options agent_options(std::vector<std::string> args, const std::string& home,
                                     const std::string& out = "", const std::string& err = "");

// Polls `condition` every 20 ms until it holds or `limit` passes.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec ts{0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace tolvarine::operator_control::testing
