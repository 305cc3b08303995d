#include "support/test_env.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tolvarine::operator_control::testing {

temp_dir::temp_dir() {
  std::string pattern = "/tmp/trc-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool in_test_network() {
  const char* flag = std::getenv("TRC_TEST_NETNS");
  if (!flag || std::string(flag) != "1") return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    if (std::string(text) == "10.77.0.2") found = true;
  }
  freeifaddrs(list);
  return found;
}

std::string built_program(const std::string& name) { return std::string(TRC_BUILD_DIR) + "/" + name; }

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

child_process::child_process(const options& opts) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : opts.env) env[k] = v;
  for (const auto& k : opts.unset_env) env.erase(k);
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, argv;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = opts.args;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    auto redirect = [](const std::string& path, int target) {
      int fd = ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, target);
        close(fd);
      }
    };
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    redirect(opts.stdout_path, 1);
    redirect(opts.stderr_path, 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

child_process::~child_process() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait_for(std::chrono::seconds(5));
  }
}

bool child_process::running() {
  if (status_ || pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
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
  if (home.empty()) o.unset_env.push_back("HOME"); else o.env["HOME"] = home;
  o.unset_env.push_back("XDG_CONFIG_HOME");
  o.stdout_path = out;
  o.stderr_path = err;
  return o;
}

}  // namespace tolvarine::operator_control::testing
