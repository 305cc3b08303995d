#include "support/test_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tolvarine::operator_control::testing {

temp_dir::temp_dir() : path_("/tmp/trc-test-XXXXXX") {
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool in_test_network() {
  const char* flag = std::getenv("TRC_TEST_NETNS");
  ifaddrs* list = nullptr;
  if (!flag || std::string(flag) != "1" || getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
      found |= reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == inet_addr("10.77.0.2");
  }
  freeifaddrs(list);
  return found;
}

std::string built_program(const std::string& name) { return std::string(TRC_BUILD_DIR) + "/" + name; }

std::string read_text(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

void write_text(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

child_process::child_process(const options& opts) {
  // This environment without the variables `opts` sets or removes, then those it sets.
  std::vector<std::string> env, args = opts.args;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e), key = entry.substr(0, entry.find('='));
    if (!opts.env.contains(key) && std::ranges::find(opts.unset_env, key) == opts.unset_env.end()) env.push_back(entry);
  }
  for (const auto& [k, v] : opts.env) env.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : env) envp.push_back(s.data());
  for (auto& a : args) argv.push_back(a.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    auto redirect = [](const std::string& path, int flags, int target) {
      const int fd = ::open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
      if (fd >= 0) dup2(fd, target);
    };
    redirect("", O_RDONLY, 0);
    redirect(opts.stdout_path, O_WRONLY | O_CREAT | O_APPEND, 1);
    redirect(opts.stderr_path, O_WRONLY | O_CREAT | O_APPEND, 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

child_process::~child_process() {
  signal(SIGKILL);
  wait_for(std::chrono::seconds(5));
}

bool child_process::running() {
  int status = 0;
  if (status_ || pid_ <= 0) return false;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r == 0;
}

void child_process::signal(int sig) {
  if (running()) kill(pid_, sig);
}

std::optional<int> child_process::wait_for(std::chrono::milliseconds limit) {
  eventually([&] { return !running(); }, limit);
  return status_;
}

child_process::options agent_options(std::vector<std::string> args, const std::string& home,
                                     const std::string& out, const std::string& err) {
  child_process::options o;
  o.args = {agent_program()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.unset_env = {"XDG_CONFIG_HOME"};
  o.stdout_path = out;
  o.stderr_path = err;
  if (home.empty()) o.unset_env.push_back("HOME"); else o.env["HOME"] = home;
  return o;
}

}  // namespace tolvarine::operator_control::testing
