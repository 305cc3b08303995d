#include "web/shell_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <iostream>
#include <span>

#include "web/operator_page.h"
#include "web/origin_guard.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kPollTarget = "/kel/browser/poll";
constexpr std::string_view kReuseTarget = "/kel/browser/reuse";
constexpr std::string_view kReuseConfigureTarget = "/kel/browser/reuse?configure=1";
constexpr std::string_view kAckPrefix = "/kel/browser/ack?request=";
constexpr std::string_view kJson = "application/json";
// A reader that takes the page this slowly holds its thread no longer.
constexpr milliseconds kSendLimit{10000};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next whitespace-separated word of `text` from `pos`; empty at the end.
std::string_view next_word(std::string_view text, size_t& pos) {
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  const size_t start = pos;
  while (pos < text.size() && !is_blank(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// The received text as a zero-filled buffer reads: up to the first NUL.
std::string_view as_text(std::string_view received) {
  return received.substr(0, received.find('\0'));
}

std::string_view request_line(std::string_view text) { return text.substr(0, text.find("\r\n")); }

bool is_handoff(shell_route route) {
  return route == shell_route::poll || route == shell_route::reuse || route == shell_route::ack;
}

// The header block (after the request line, up to the blank line), or none
// when it has not fully arrived.
std::optional<std::string_view> header_block(std::string_view text) {
  const size_t line_end = text.find("\r\n");
  if (line_end == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(line_end + 2);
  if (rest.starts_with("\r\n")) return std::string_view();
  const size_t end = rest.find("\r\n\r\n");
  if (end == std::string_view::npos) return std::nullopt;
  return rest.substr(0, end);
}

std::string json_reply(int status, std::string_view body) {
  return shell_reply(status, body, kJson);
}

// Sends all of `data` (never raising SIGPIPE) until done, a send fails or
// the peer stops reading for kSendLimit.
void send_all(int fd, std::string_view data) {
  const auto give_up = std::chrono::steady_clock::now() + kSendLimit;
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    const auto left =
        std::chrono::duration_cast<milliseconds>(give_up - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
  }
}

// Reads into `buffer` until something arrives (and, for a hand-off route,
// until its header block is complete), the buffer is full, the peer closes
// or `deadline` passes. False when nothing at all arrived.
bool read_request(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
  char chunk[4096];
  while (buffer.size() < shell_server::kMaxRequestBytes) {
    if (!buffer.empty() && !shell_needs_headers(buffer)) break;
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const size_t room = std::min(sizeof chunk, shell_server::kMaxRequestBytes - buffer.size());
    const ssize_t got = ::recv(fd, chunk, room, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    buffer.append(chunk, static_cast<size_t>(got));
  }
  return !buffer.empty();
}

}  // namespace

std::string shell_reply(int status, std::string_view body, std::string_view content_type) {
  const char* reason = status == 200 ? " OK" : status == 400 ? " Bad Request" : " Not Found";
  std::string text = "HTTP/1.1 " + std::to_string(status) + reason;
  text.append("\r\nServer: Tolvarine-Redundancy-Control\r\nContent-Type: ").append(content_type);
  text.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  text.append("\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n").append(body);
  return text;
}

shell_request classify_shell_request(std::string_view received) {
  const std::string_view line = request_line(as_text(received));
  size_t pos = 0;
  const std::string_view method = next_word(line, pos);
  const std::string_view target = next_word(line, pos);
  shell_request request;
  if (method == "GET") {
    if (target == "/" || target.starts_with("/?")) {
      request.route = shell_route::page;
    } else if (target == kPollTarget) {
      request.route = shell_route::poll;
    } else {
      request.route = shell_route::found;
    }
  } else if (method == "POST") {
    if (target == kReuseTarget || target == kReuseConfigureTarget) {
      request.route = shell_route::reuse;
      request.configure = target == kReuseConfigureTarget;
    } else if (target.starts_with(kAckPrefix)) {
      request.route = shell_route::ack;
      request.ack_id = target.substr(kAckPrefix.size());
    }
  }
  return request;
}

bool shell_needs_headers(std::string_view received) {
  return is_handoff(classify_shell_request(received).route) &&
         !header_block(as_text(received)).has_value();
}

std::string shell_response(std::string_view received, browser_handoff& handoff, uint16_t port) {
  const shell_request request = classify_shell_request(received);
  switch (request.route) {
    case shell_route::page:
      return shell_reply(200, operator_page(), "text/html; charset=utf-8");
    case shell_route::found:
      return std::string(kShellFound);
    case shell_route::not_allowed:
      return std::string(kShellMethodNotAllowed);
    default:
      break;
  }
  // The hand-off routes change state: only the page itself, or a local
  // tool that names no origin, may use them.
  const std::optional<std::string_view> headers = header_block(as_text(received));
  origin_check check;
  if (headers) check = check_request_origin(*headers, std::span<const uint16_t>(), port);
  if (!headers || !check.allowed) {
    std::cerr << (refusal_log_line(check, "[shell]") + "\n") << std::flush;
    return json_reply(400, "{\"ok\":false,\"error\":\"Request origin not allowed.\"}");
  }
  if (request.route == shell_route::poll) {
    return json_reply(200, "{\"request\":\"" + handoff.poll() + "\"}");
  }
  if (request.route == shell_route::reuse) {
    const browser_handoff::reuse_outcome outcome = handoff.reuse(request.configure);
    return json_reply(200, std::string("{\"reused\":") + (outcome.reused ? "true" : "false") +
                               ",\"open\":" + (outcome.open ? "true" : "false") + "}");
  }
  const std::optional<bool> configure = handoff.acknowledge(request.ack_id);
  if (!configure) return json_reply(404, "{\"ok\":false,\"configure\":false}");
  return json_reply(
      200, std::string("{\"ok\":true,\"configure\":") + (*configure ? "true" : "false") + "}");
}

shell_server::shell_server(steady_clock_fn clock)
    : shared_(std::make_shared<shared_state>(std::move(clock))) {}

shell_server::~shell_server() { stop(); }

bool shell_server::start(uint16_t port) {
  if (running_.load(std::memory_order_acquire)) return true;
  port_.store(port, std::memory_order_release);
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  const int one = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    return false;
  }
  listen_fd_ = std::move(fd);
  running_.store(true, std::memory_order_release);
  try {
    accept_thread_ = std::thread([this] { run(); });
  } catch (...) {
    running_.store(false, std::memory_order_release);
    listen_fd_.reset();
    return false;
  }
  return true;
}

void shell_server::stop() {
  if (!running_.exchange(false, std::memory_order_acq_rel)) return;
  // Wake the blocked accept with a connection of our own (not waiting for
  // it: the backlog may be full).
  unique_fd wake(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (wake) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(wake.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  // Shutting the socket down also ends an accept the connection missed.
  ::shutdown(listen_fd_.get(), SHUT_RDWR);
  if (accept_thread_.joinable()) accept_thread_.join();
  listen_fd_.reset();
}

void shell_server::run() {
  while (running_.load(std::memory_order_acquire)) {
    unique_fd client(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!running_.load(std::memory_order_acquire)) return;
    if (!client) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(milliseconds(10));  // let connections finish
      }
      continue;
    }
    if (shared_->connections.fetch_add(1, std::memory_order_acq_rel) >= kMaxConnections) {
      shared_->connections.fetch_sub(1, std::memory_order_acq_rel);
      continue;  // closed at once
    }
    try {
      std::thread(handle_client, std::move(client), shared_, port()).detach();
    } catch (...) {
      shared_->connections.fetch_sub(1, std::memory_order_acq_rel);
    }
  }
}

void shell_server::handle_client(unique_fd client, std::shared_ptr<shared_state> shared,
                                 uint16_t port) {
  try {
    std::string received;
    if (read_request(client.get(), received, std::chrono::steady_clock::now() + kIdleLimit)) {
      send_all(client.get(), shell_response(received, shared->handoff, port));
    }
  } catch (...) {
    // Allocation failure: the connection closes without an answer.
  }
  client.reset();
  shared->connections.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace tolvarine::operator_control
