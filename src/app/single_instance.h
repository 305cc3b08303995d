// Keeps a second program instance off one settings folder with an advisory
// lock on operator-control.lock. The lock dies with the process, so a stale
// file never blocks a later start. Not thread-safe: one owner.
#pragma once

#include <string>

namespace tolvarine::operator_control {

class single_instance {
 public:
  single_instance() = default;
  ~single_instance();
  single_instance(const single_instance&) = delete;
  single_instance& operator=(const single_instance&) = delete;

  // True when this process holds the lock on `directory`/operator-control.lock
  // (creating both as needed); false when another process holds it.
  [[nodiscard]] bool acquire(const std::string& directory);

 private:
  bool held_ = false;
  int fd_ = -1;
};

}  // namespace tolvarine::operator_control
