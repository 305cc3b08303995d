#include "web/http_request_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace tolvarine::operator_control {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Where the header lines start: after the request line's CR LF, or at the
// blank line itself when the request has no header lines.
size_t header_lines_start(std::string_view buffer, size_t header_end) {
  const size_t line_end = buffer.find("\r\n");
  return std::min(line_end + 2, header_end);
}

// Base-10 number after the first "Content-Length:" (or, failing that,
// "content-length:") of the header lines, read as strtoul reads it; 0
// without such a header.
unsigned long content_length(std::string_view header_lines) {
  size_t at = header_lines.find("Content-Length:");
  if (at == std::string_view::npos) at = header_lines.find("content-length:");
  if (at == std::string_view::npos) return 0;
  at += std::string_view("Content-Length:").size();
  size_t line_end = header_lines.find('\r', at);
  if (line_end == std::string_view::npos) line_end = header_lines.size();
  const std::string digits(header_lines.substr(at, std::min<size_t>(line_end - at, 64)));
  return std::strtoul(digits.c_str(), nullptr, 10);
}

}  // namespace

bool request_framer::complete(std::string_view buffer) {
  if (buffer.size() > kMaxRequestBytes) return true;
  if (header_end_ == std::string_view::npos) {
    const size_t from = scanned_ > 3 ? scanned_ - 3 : 0;
    header_end_ = buffer.find(kHeaderEnd, from);
    scanned_ = buffer.size();
    if (header_end_ == std::string_view::npos) return false;
    const size_t start = header_lines_start(buffer, header_end_);
    body_length_ = content_length(buffer.substr(start, header_end_ - start));
  }
  return buffer.size() - (header_end_ + kHeaderEnd.size()) >= body_length_;
}

size_t request_framer::expected_size() const {
  if (header_end_ == std::string_view::npos) return 0;
  const size_t head = header_end_ + kHeaderEnd.size();
  return body_length_ > static_cast<unsigned long>(SIZE_MAX - head) ? SIZE_MAX
                                                                    : head + body_length_;
}

bool request_complete(std::string_view buffer) { return request_framer().complete(buffer); }

std::optional<http_request_message> parse_request(std::string_view buffer) {
  const size_t line_end = buffer.find("\r\n");
  if (line_end == std::string_view::npos) return std::nullopt;
  const std::string_view line = buffer.substr(0, line_end);
  std::string_view words[2];
  size_t pos = 0;
  for (std::string_view& word : words) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    const size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos])) ++pos;
    word = line.substr(start, pos - start);
  }
  if (words[0].empty() || words[1].empty()) return std::nullopt;

  http_request_message request;
  request.method = std::string(words[0]);
  request.path = std::string(words[1]);
  const size_t header_end = buffer.find(kHeaderEnd);
  if (header_end == std::string_view::npos) {
    // Cut short at the size bound: every header line that arrived, no body.
    request.header_block = std::string(buffer.substr(line_end + 2));
    return request;
  }
  const size_t start = header_lines_start(buffer, header_end);
  request.header_block = std::string(buffer.substr(start, header_end - start));
  const size_t body_start = header_end + kHeaderEnd.size();
  const unsigned long length = content_length(request.header_block);
  request.body = std::string(buffer.substr(body_start, std::min<unsigned long>(length, buffer.size() - body_start)));
  return request;
}

std::vector<std::string> header_values(std::string_view header_block, std::string_view name) {
  std::vector<std::string> values;
  size_t pos = 0;
  while (pos <= header_block.size()) {
    size_t end = header_block.find("\r\n", pos);
    if (end == std::string_view::npos) end = header_block.size();
    const std::string_view line = header_block.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && equal_ignoring_case(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
      while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
      values.emplace_back(value);
    }
    pos = end + 2;
  }
  return values;
}

std::optional<std::string> read_request(int fd, steady_time deadline, int wake_fd) {
  std::string buffer;
  request_framer framer;
  char chunk[kRequestReadChunk];
  while (true) {
    // Past the deadline the poll still takes what has already arrived, so
    // a request that waited in a queue is served if it is all there.
    const auto left = std::max<std::chrono::milliseconds::rep>(
        0, std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_now()).count());
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ::poll(fds, wake_fd >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    if (wake_fd >= 0 && fds[1].revents != 0) return std::nullopt;
    const ssize_t n = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<size_t>(n));
    if (framer.complete(buffer)) return buffer;
  }
}

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 413: return "Payload Too Large";
    default: return "Not Found";
  }
}

std::string response_text(int status, std::string_view content_type, std::string_view body) {
  std::string out;
  out.reserve(220 + content_type.size() + body.size());
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += reason_phrase(status);
  out += "\r\nServer: Tolvarine-Redundancy-Control\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\nCache-Control: no-store\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  out += body;
  return out;
}

bool respond(int fd, int status, std::string_view content_type, std::string_view body) {
  const std::string bytes = response_text(status, content_type, body);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tolvarine::operator_control
