#include "platform/os_helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace tolvarine::operator_control {
namespace {

// Runs `xdg-open target` fully detached: the child starts a grandchild and
// exits at once, so the caller reaps it without waiting for the desktop and
// the grandchild (adopted by init) leaves no zombie. Between fork and exec
// only async-signal-safe calls are made.
void detached_open(const std::string& target) {
  const char* argv[] = {"xdg-open", target.c_str(), nullptr};
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      // The opener gets the default signal handling back (this process
      // ignores SIGPIPE, which exec would pass on).
      ::signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
      }
      execvp(argv[0], const_cast<char* const*>(argv));
      _exit(127);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void platform_open_url(const std::string& url) { detached_open(url); }

void platform_open_path(const std::string& path) { detached_open(path); }

std::string platform_executable_path() {
  std::error_code ec;
  auto raw = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  auto canonical = std::filesystem::weakly_canonical(raw, ec);
  return ec ? raw.string() : canonical.string();
}

void platform_prepare_console(bool) {}

std::string platform_config_home() {
  const char* home = std::getenv("HOME");
  if (!home) return {};
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  return (std::filesystem::path(home) / ".config").string();
}

}  // namespace tolvarine::operator_control
