#include "server/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include "common/unique_fd.h"
#include "server/name_lookup.h"

namespace tolvarine::operator_control {
namespace {

constexpr size_t kReceiveBuffer = 16384;
constexpr int kReceiveCeiling = 10;

using clock = std::chrono::steady_clock;

struct addrinfo_deleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using addrinfo_list = std::unique_ptr<addrinfo, addrinfo_deleter>;

int remaining_ms(clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on `fd` until `deadline`; true when they are ready.
// poll rather than select: descriptors above FD_SETSIZE stay safe.
bool wait_ready(int fd, short events, clock::time_point deadline) {
  while (true) {
    int left = remaining_ms(deadline);
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    int n = ::poll(&entry, 1, left);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

// Non-blocking connect bounded by timeout_ms, then back to blocking with
// both socket timeouts set. An invalid descriptor when it did not connect.
unique_fd connect_address(const addrinfo& address, int timeout_ms) {
  unique_fd fd(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC,
                        address.ai_protocol));
  if (!fd) return {};
  int flags = ::fcntl(fd.get(), F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) return {};
  if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return {};
    auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!wait_ready(fd.get(), POLLOUT, deadline)) return {};
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
      return {};
    }
  }
  if (::fcntl(fd.get(), F_SETFL, flags) < 0) return {};
  timeval limit{};
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return fd;
}

unique_fd connect_host(const std::string& host, uint16_t port, address_family family,
                       int timeout_ms) {
  // The name lookup counts against the time limit too.
  const std::optional<std::vector<resolved_address>> addresses = resolve_within(
      host, port, family == address_family::ipv4_only ? AF_INET : AF_UNSPEC, SOCK_STREAM,
      clock::now() + std::chrono::milliseconds(timeout_ms));
  if (!addresses) return {};
  for (const resolved_address& r : *addresses) {
    unique_fd fd = connect_address(r.entry(), timeout_ms);
    if (fd) return fd;
  }
  return {};
}

bool send_all(int fd, std::string_view data, int timeout_ms) {
  auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < data.size()) {
    if (!wait_ready(fd, POLLOUT, deadline)) return false;
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Each read may stall for timeout_ms; the whole receive ends after
// kReceiveCeiling timeouts, so a trickling peer cannot hold the thread.
std::string receive_all(int fd, int timeout_ms, size_t max_bytes) {
  const auto stall = std::chrono::milliseconds(timeout_ms);
  const auto ceiling = clock::now() + stall * kReceiveCeiling;
  std::string response;
  std::vector<char> buffer(kReceiveBuffer);
  while (response.size() < max_bytes) {
    if (!wait_ready(fd, POLLIN, std::min(clock::now() + stall, ceiling))) break;
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
    response.append(buffer.data(), static_cast<size_t>(n));
  }
  return response;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string lower_copy(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Position of `name` at the start of a line of `block`, or npos.
size_t find_at_line_start(std::string_view block, std::string_view name) {
  size_t from = 0;
  while (true) {
    size_t at = block.find(name, from);
    if (at == std::string_view::npos) return at;
    if (at == 0 || block[at - 1] == '\n') return at;
    from = at + 1;
  }
}

// Decimal number after "content-length:" (white space skipped). Nothing when
// no digit follows; a number too large for size_t saturates (and so can
// never be satisfied by the body).
std::optional<size_t> content_length(std::string_view lower_block) {
  constexpr std::string_view kName = "content-length:";
  size_t at = lower_block.find(kName);
  if (at == std::string_view::npos) return std::nullopt;
  size_t p = at + kName.size();
  while (p < lower_block.size() && is_blank(lower_block[p])) ++p;
  if (p >= lower_block.size() || lower_block[p] < '0' || lower_block[p] > '9') return std::nullopt;
  size_t value = 0;
  constexpr size_t kMax = static_cast<size_t>(-1);
  for (; p < lower_block.size() && lower_block[p] >= '0' && lower_block[p] <= '9'; ++p) {
    size_t digit = static_cast<size_t>(lower_block[p] - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

}  // namespace

std::string http_request_text(const std::string& method, const std::string& path,
                              const std::string& host_header, const std::string& body,
                              const std::string& content_type) {
  std::string text;
  text.reserve(160 + path.size() + host_header.size() + content_type.size() + body.size());
  text.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
  text.append("Host: ").append(host_header).append("\r\n");
  text.append("Connection: close\r\n");
  text.append("Accept: application/json,text/plain,*/*\r\n");
  if (!body.empty()) {
    text.append("Content-Type: ").append(content_type).append("\r\n");
    text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  }
  text.append("\r\n");
  text.append(body);
  return text;
}

std::optional<std::string> http_exchange(const std::string& host, uint16_t port,
                                         address_family family, std::string_view request_text,
                                         int timeout_ms, size_t max_bytes) {
  // A zero socket timeout would mean "wait for ever".
  timeout_ms = std::max(timeout_ms, 1);
  unique_fd fd = connect_host(host, port, family, timeout_ms);
  if (!fd) return std::nullopt;
  if (!send_all(fd.get(), request_text, timeout_ms)) return std::nullopt;
  return receive_all(fd.get(), timeout_ms, max_bytes);
}

int parse_status_line(std::string_view raw) {
  size_t line_end = raw.find("\r\n");
  if (raw.size() < 2 || line_end == std::string_view::npos) return 0;
  std::string_view line = raw.substr(0, line_end);
  size_t p = 0;
  while (p < line.size() && is_blank(line[p])) ++p;
  while (p < line.size() && !is_blank(line[p])) ++p;  // protocol version
  while (p < line.size() && is_blank(line[p])) ++p;
  bool negative = false;
  if (p < line.size() && (line[p] == '-' || line[p] == '+')) negative = line[p++] == '-';
  long long value = 0;
  size_t digits = 0;
  for (; p < line.size() && line[p] >= '0' && line[p] <= '9'; ++p, ++digits) {
    value = value * 10 + (line[p] - '0');
    if (value > 2147483647LL) return 0;
  }
  if (digits == 0) return 0;
  return static_cast<int>(negative ? -value : value);
}

std::optional<std::string> decode_chunked(std::string_view raw_body) {
  std::string out;
  size_t p = 0;
  while (true) {
    size_t line_end = raw_body.find("\r\n", p);
    if (line_end == std::string_view::npos) return std::nullopt;
    std::string_view size_line = raw_body.substr(p, line_end - p);
    size_line = size_line.substr(0, size_line.find(';'));
    size_t q = 0;
    while (q < size_line.size() && is_blank(size_line[q])) ++q;
    size_t size = 0;
    size_t digits = 0;
    for (; q < size_line.size() && hex_digit(size_line[q]) >= 0; ++q, ++digits) {
      if (size > (static_cast<size_t>(-1) >> 4)) return std::nullopt;
      size = size * 16 + static_cast<size_t>(hex_digit(size_line[q]));
    }
    if (digits == 0) return std::nullopt;
    if (size == 0) return out;
    size_t data = line_end + 2;
    if (raw_body.size() - data < size) return std::nullopt;
    out.append(raw_body.substr(data, size));
    size_t after = data + size;
    if (raw_body.size() - after < 2 || raw_body.substr(after, 2) != "\r\n") return std::nullopt;
    p = after + 2;
  }
}

namespace {

// The status of a response and the offset of its blank line (npos when the
// header block never ends). Status 0 when there is no usable status line:
// such a response has no body either.
http_response read_status(std::string_view raw, size_t* header_end) {
  http_response response;
  *header_end = std::string_view::npos;
  if (raw.size() < 2 || raw.find("\r\n") == std::string_view::npos) return response;
  response.status = parse_status_line(raw);
  if (response.status != 0) *header_end = raw.find("\r\n\r\n");
  return response;
}

}  // namespace

http_response parse_raw_body_response(std::string_view raw) {
  size_t end = 0;
  http_response response = read_status(raw, &end);
  if (end != std::string_view::npos) response.body.assign(raw.substr(end + 4));
  return response;
}

http_response parse_http_response(std::string_view raw) {
  size_t end = 0;
  http_response response = read_status(raw, &end);
  if (end == std::string_view::npos) return response;
  std::string lower = lower_copy(raw.substr(0, end + 2));
  std::string_view block = lower;
  std::string_view raw_body = raw.substr(end + 4);

  size_t te = find_at_line_start(block, "transfer-encoding:");
  if (te != std::string_view::npos) {
    size_t line_end = block.find("\r\n", te);
    std::string_view line = block.substr(te, line_end == std::string_view::npos
                                                 ? std::string_view::npos
                                                 : line_end - te);
    if (line.find("chunked") != std::string_view::npos) {
      std::optional<std::string> decoded = decode_chunked(raw_body);
      if (!decoded) return http_response{};
      response.body = std::move(*decoded);
      return response;
    }
  }

  std::optional<size_t> length = content_length(block);
  if (!length || *length == 0) {
    response.body.assign(raw_body);
    return response;
  }
  if (raw_body.size() < *length) return http_response{};
  response.body.assign(raw_body.substr(0, *length));
  return response;
}

http_response http_request(const std::string& host, uint16_t port, const std::string& method,
                           const std::string& path, const std::string& body,
                           const std::string& content_type, int timeout_ms, size_t max_bytes) {
  std::string text =
      http_request_text(method, path, host + ":" + std::to_string(port), body, content_type);
  std::optional<std::string> raw =
      http_exchange(host, port, address_family::any, text, timeout_ms, max_bytes);
  if (!raw) return {};
  return parse_http_response(*raw);
}

std::string url_encode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

}  // namespace tolvarine::operator_control
