#include "app/redirected_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace tolvarine::operator_control {
namespace {

constexpr size_t kLongestLine = 65536;

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a log that cannot be written loses the line
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

log_line_buffer::~log_line_buffer() {
  std::string& rest = pending();
  if (!rest.empty()) write_all(fd_, rest.data(), rest.size());
  rest.clear();
}

std::string& log_line_buffer::pending() {
  static thread_local std::map<const log_line_buffer*, std::string> lines;
  return lines[this];
}

void log_line_buffer::append(const char* text, size_t count) {
  std::string& line = pending();
  line.append(text, count);
  size_t end = line.rfind('\n');
  if (end == std::string::npos && line.size() < kLongestLine) return;
  end = end == std::string::npos ? line.size() : end + 1;
  {
    mutex_lock lock(mutex_);
    write_all(fd_, line.data(), end);
  }
  line.erase(0, end);
}

log_line_buffer::int_type log_line_buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  append(&byte, 1);
  return c;
}

std::streamsize log_line_buffer::xsputn(const char* text, std::streamsize count) {
  if (count > 0) append(text, static_cast<size_t>(count));
  return count;
}

bool redirected_log::open(const std::string& path) {
  file_ = unique_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!file_) return false;
  buffer_ = std::make_unique<log_line_buffer>(file_.get());
  saved_out_ = std::cout.rdbuf(buffer_.get());
  saved_err_ = std::cerr.rdbuf(buffer_.get());
  return true;
}

redirected_log::~redirected_log() {
  if (saved_out_) {
    std::cout.rdbuf(saved_out_);
    std::cout.clear();
  }
  if (saved_err_) {
    std::cerr.rdbuf(saved_err_);
    std::cerr.clear();
  }
}

}  // namespace tolvarine::operator_control
