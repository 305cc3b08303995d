#include "protection/alert_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {

void append_alert_lines(const std::string& path, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  unique_fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return;
  for (const std::string& line : lines) {
    // One write per line: with O_APPEND each line lands whole.
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd.get(), line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
}

}  // namespace tolvarine::operator_control
