#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

bool fail(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno) + ".";
  return false;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool replace_file(const std::string& path, std::string_view content, std::string* error,
                  sync_fn file_sync, sync_fn folder_sync) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path parent = target.parent_path();
  if (!parent.empty()) {
    std::error_code ignored;
    fs::create_directories(parent, ignored);
  }
  const std::string temp = path + ".tmp";
  {
    unique_fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return fail(error, "Unable to create " + temp);
    if (!write_all(fd.get(), content) || file_sync(fd.get()) != 0) {
      fail(error, "Unable to write " + temp);
      ::unlink(temp.c_str());
      return false;
    }
    if (::close(fd.release()) != 0) {
      fail(error, "Unable to write " + temp);
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    fail(error, "Unable to replace " + path);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk before the save counts.
  const std::string folder = parent.empty() ? "." : parent.string();
  unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || folder_sync(dir.get()) != 0) return fail(error, "Unable to flush " + folder);
  return true;
}

bool read_file(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  *content = std::move(buffer).str();
  return true;
}

}  // namespace tolvarine::operator_control
