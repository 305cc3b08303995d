// Points std::cout and std::cerr at an appended log file for its lifetime
// and puts the previous stream buffers back on destruction. The process's
// file descriptors 1 and 2 are left alone. Not thread-safe: one owner,
// created before any other thread starts and destroyed after they end.
#pragma once

#include <fstream>
#include <iostream>
#include <string>

namespace tolvarine::operator_control {

class redirected_log {
 public:
  redirected_log() = default;
  ~redirected_log();
  redirected_log(const redirected_log&) = delete;
  redirected_log& operator=(const redirected_log&) = delete;

  // Opens `path` for appending and redirects both streams. False (streams
  // untouched) when the file cannot be opened.
  bool open(const std::string& path);

 private:
  std::ofstream file_;
  std::streambuf* saved_out_ = nullptr;
  std::streambuf* saved_err_ = nullptr;
};

}  // namespace tolvarine::operator_control
