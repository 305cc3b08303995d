#include "platform/os_helpers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace tolvarine::operator_control {
namespace {

// Runs `xdg-open target` fully detached (double fork, so no zombie is left
// and the caller never waits for the desktop).
void detached_open(const std::string& target) {
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
      }
      execlp("xdg-open", "xdg-open", target.c_str(), static_cast<char*>(nullptr));
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

}  // namespace tolvarine::operator_control
