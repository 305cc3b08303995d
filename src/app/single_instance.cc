#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

namespace tolvarine::operator_control {

bool single_instance::acquire(const std::string& directory) {
  if (held_) return true;
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  const std::string path = (std::filesystem::path(directory) / "operator-control.lock").string();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  held_ = true;
  return true;
}

single_instance::~single_instance() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

}  // namespace tolvarine::operator_control
