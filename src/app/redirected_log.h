// Points std::cout and std::cerr at an appended log file for its lifetime
// and puts the previous stream buffers back on destruction. The process's
// file descriptors 1 and 2 are left alone.
//
// The redirection itself has one owner: open it before any other thread
// starts and destroy it after they end. Writing through the redirected
// streams is safe from any number of threads: each thread gathers its text
// until a line ends and the whole line goes to the file in one locked
// write, so lines never mix and keep the order in which they were ended.
#pragma once

#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

#include "common/mutex.h"
#include "common/unique_fd.h"

namespace tolvarine::operator_control {

// The stream buffer behind the redirected streams: unbuffered for the
// stream, line-buffered per thread, one locked write per line. A thread's
// text without a line end is written once it passes 64 KiB.
class log_line_buffer : public std::streambuf {
 public:
  explicit log_line_buffer(int fd) : fd_(fd) {}
  ~log_line_buffer() override;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;

 private:
  // Appends to this thread's pending text and writes what is complete.
  void append(const char* text, size_t count) EXCLUDES(mutex_);
  std::string& pending();

  const int fd_;
  mutex mutex_;  // one line at a time reaches fd_
};

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
  unique_fd file_;
  std::unique_ptr<log_line_buffer> buffer_;
  std::streambuf* saved_out_ = nullptr;
  std::streambuf* saved_err_ = nullptr;
};

}  // namespace tolvarine::operator_control
