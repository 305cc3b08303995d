#include "sim_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>

#include "config/json_util.h"

namespace tolvarine::show_server_sim {
namespace {

namespace ju = operator_control::json_util;
using operator_control::mutex_lock;
using operator_control::unique_fd;

constexpr size_t kMaxRequest = 64u << 20;
constexpr size_t kMaxRemembered = 256;

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool make_address(const std::string& text, uint16_t port, sockaddr_in& out) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return ::inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

void enable(int fd, int option) {
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, option, &on, sizeof(on));
}

unique_fd tcp_listener(const std::string& address, uint16_t port) {
  sockaddr_in where{};
  if (!make_address(address, port, where)) return {};
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  enable(fd.get(), SO_REUSEADDR);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) return {};
  if (::listen(fd.get(), 64) != 0) return {};
  return fd;
}

unique_fd udp_socket(const std::string& address, uint16_t port, bool share_port) {
  sockaddr_in where{};
  if (!make_address(address, port, where)) return {};
  unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  enable(fd.get(), SO_REUSEADDR);
  if (share_port) {
    enable(fd.get(), SO_REUSEPORT);
    enable(fd.get(), SO_BROADCAST);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) return {};
  return fd;
}

// The raw value of `name` in a query string ("" when absent).
std::string query_value(const std::string& query, const std::string& name) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    if (query.compare(at, name.size() + 1, name + "=") == 0) {
      return query.substr(at + name.size() + 1, end - at - name.size() - 1);
    }
    at = end + 1;
  }
  return "";
}

void remember(std::deque<std::string>& list, const std::string& item) {
  list.push_back(item);
  if (list.size() > kMaxRemembered) list.pop_front();
}

bool readable(int fd, int wait_ms) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, wait_ms) > 0;
}

bool send_text(int fd, std::string_view data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string source_text(const sockaddr_in& from) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
  return std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
}

// Printable form of a datagram for a one-line log entry.
std::string printable(std::string_view payload) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : payload) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

struct parsed_request {
  std::string method;
  std::string target;
  std::string body;
};

// Reads one request (headers and a Content-Length body) within 5 seconds.
std::optional<parsed_request> read_request(int fd) {
  std::string data;
  char buffer[16384];
  long long deadline = now_ms() + 5000;
  size_t header_end = std::string::npos;
  size_t length = 0;
  while (true) {
    if (header_end == std::string::npos) {
      header_end = data.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        std::string lower = data.substr(0, header_end);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = lower.find("content-length:");
        if (at != std::string::npos) {
          length = static_cast<size_t>(std::strtoull(lower.c_str() + at + 15, nullptr, 10));
          if (length > kMaxRequest) return std::nullopt;
        }
      }
    }
    if (header_end != std::string::npos && data.size() >= header_end + 4 + length) break;
    if (data.size() > kMaxRequest + 65536) return std::nullopt;
    long long left = deadline - now_ms();
    if (left <= 0 || !readable(fd, static_cast<int>(left))) return std::nullopt;
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return std::nullopt;
    data.append(buffer, static_cast<size_t>(n));
  }
  parsed_request req;
  size_t line_end = data.find("\r\n");
  std::string line = data.substr(0, line_end);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return std::nullopt;
  req.method = line.substr(0, sp1);
  req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  req.body = data.substr(header_end + 4, length);
  return req;
}

// Sends an answer in the given fault shape.
void send_answer(int fd, int status, const std::string& type, const std::string& body,
                 const std::string& shape, long long oversized_bytes) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                     "\r\nContent-Type: " + type + "\r\nConnection: close\r\n";
  if (shape == "truncated") {
    send_text(fd, head + "Content-Length: " + std::to_string(body.size() + 64) + "\r\n\r\n" +
                      body.substr(0, body.size() / 2));
  } else if (shape == "chunked" || shape == "broken_chunks") {
    std::string text = head + "Transfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 7) {
      std::string piece = body.substr(at, 7);
      char size[16];
      std::snprintf(size, sizeof(size), "%zx", piece.size());
      text += std::string(size) + (at == 0 ? ";sim=1" : "") + "\r\n" + piece + "\r\n";
    }
    text += shape == "chunked" ? "0\r\n\r\n" : "zz\r\n";
    send_text(fd, text);
  } else if (shape == "oversized") {
    if (!send_text(fd, head + "\r\n" + body)) return;
    std::string block(65536, ' ');
    long long left = oversized_bytes - static_cast<long long>(body.size());
    while (left > 0) {
      size_t n = left < static_cast<long long>(block.size()) ? static_cast<size_t>(left)
                                                             : block.size();
      if (!send_text(fd, std::string_view(block.data(), n))) return;
      left -= static_cast<long long>(n);
    }
  } else if (shape == "garbage") {
    send_text(fd, std::string("\x01\x02\x7fnot an http answer", 21));
  } else if (shape == "no_header_end") {
    send_text(fd, head);
  } else {
    send_text(fd, head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
}

std::string json_list(const std::vector<std::string>& items, bool as_strings) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ",";
    out += as_strings ? json_string(items[i]) : items[i];
  }
  return out + "]";
}

}  // namespace

sim_server::sim_server(sim_options options)
    : options_(std::move(options)), decks_(options_.identity.serial) {
  mutex_lock lock(mutex_);
  event_model_ =
      options_.event_model.empty() ? initial_event_model(knobs_) : options_.event_model;
}

sim_server::~sim_server() { stop(); }

bool sim_server::set_knob(const std::string& name, const std::string& value) {
  mutex_lock lock(mutex_);
  return knobs_.set(name, value);
}

void sim_server::log(const std::string& line) {
  std::cout << "[sim] " << line << std::endl;
}

bool sim_server::open_web_listener() {
  web_listener_ = tcp_listener(options_.identity.address, options_.identity.web_port);
  return web_listener_.valid();
}

bool sim_server::start(std::string& error) {
  const sim_identity& self = options_.identity;
  if (!open_web_listener()) {
    error = "cannot listen on " + self.address + ":" + std::to_string(self.web_port);
    return false;
  }
  if (options_.control_port != 0) {
    control_listener_ = tcp_listener(self.address, options_.control_port);
    if (!control_listener_) {
      error = "cannot listen on " + self.address + ":" + std::to_string(options_.control_port);
      return false;
    }
  }
  discovery_socket_ = udp_socket("0.0.0.0", options_.discovery_port, true);
  reply_socket_ = udp_socket(self.address, 0, false);
  if (!discovery_socket_ || !reply_socket_) {
    error = "cannot bind UDP discovery port " + std::to_string(options_.discovery_port);
    return false;
  }
  command_socket_ = udp_socket(self.address, options_.command_port, false);
  if (!command_socket_) {
    error = "cannot bind UDP " + self.address + ":" + std::to_string(options_.command_port);
    return false;
  }
  threads_.emplace_back([this] { web_loop(); });
  if (control_listener_) threads_.emplace_back([this] { control_loop(); });
  threads_.emplace_back([this] { discovery_loop(); });
  threads_.emplace_back([this] { command_loop(); });
  log("serving serial=" + self.serial + " workstation=" + self.workstation + " http=" +
      self.address + ":" + std::to_string(self.web_port) +
      (options_.control_port ? " control=" + std::to_string(options_.control_port) : "") +
      " discovery=" + std::to_string(options_.discovery_port) +
      " commands=" + std::to_string(options_.command_port));
  return true;
}

void sim_server::stop() {
  if (stopping_.exchange(true)) return;
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  // Connection threads watch stopping_; give them a bounded moment.
  long long deadline = now_ms() + 3000;
  while (connections_.load() > 0 && now_ms() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool sim_server::wait_or_stop(long long ms) const {
  long long deadline = now_ms() + ms;
  while (now_ms() < deadline) {
    if (stopping_.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20LL, deadline - now_ms() + 1)));
  }
  return !stopping_.load();
}

void sim_server::web_loop() {
  auto refusing = [this] {
    mutex_lock lock(mutex_);
    if (!knobs_.is("http", "refuse")) return false;
    if (refuse_until_ms_ != 0 && now_ms() >= refuse_until_ms_) {
      (void)knobs_.set("http", "normal");
      refuse_until_ms_ = 0;
      return false;
    }
    return true;
  };
  while (!stopping_.load()) {
    if (refusing()) {
      if (web_listener_) {
        web_listener_.reset();
        log("http listener closed (refusing connections)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    if (!web_listener_) {
      if (!open_web_listener()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      log("http listener open again");
    }
    if (!readable(web_listener_.get(), 50)) continue;
    unique_fd fd(::accept4(web_listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    // A connection that waited while "refuse" was set is never answered:
    // the fault starts the moment it is set, not at this loop's next turn.
    if (!fd || refusing()) continue;
    connections_.fetch_add(1);
    std::thread([this, f = std::move(fd)]() mutable {
      serve_connection(std::move(f), false);
      connections_.fetch_sub(1);
    }).detach();
  }
}

void sim_server::control_loop() {
  while (!stopping_.load()) {
    if (!readable(control_listener_.get(), 50)) continue;
    unique_fd fd(::accept4(control_listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) continue;
    connections_.fetch_add(1);
    std::thread([this, f = std::move(fd)]() mutable {
      serve_connection(std::move(f), true);
      connections_.fetch_sub(1);
    }).detach();
  }
}

bool sim_server::fault_applies(const sim_knobs& knobs, const std::string& path) const {
  std::vector<std::string> paths = knobs.list("fault_paths");
  if (paths.empty()) return path.rfind("/Home/", 0) == 0;
  for (const std::string& p : paths) {
    if (p == path) return true;
  }
  return false;
}

void sim_server::serve_connection(unique_fd fd, bool control_only) {
  std::optional<parsed_request> parsed = read_request(fd.get());
  if (!parsed) return;
  request req;
  req.method = parsed->method;
  size_t q = parsed->target.find('?');
  req.path = parsed->target.substr(0, q);
  req.query = q == std::string::npos ? "" : parsed->target.substr(q + 1);
  req.body = std::move(parsed->body);

  sim_knobs knobs;
  {
    mutex_lock lock(mutex_);
    ++counts_[req.path];
    recent_requests_.push_back(req.method + " " + parsed->target);
    if (recent_requests_.size() > kMaxRemembered) recent_requests_.pop_front();
    knobs = knobs_;
  }

  int status = 404;
  std::string body = "Not Found";
  std::string type = "text/plain";
  if (req.path.rfind("/sim/", 0) == 0) {
    handle_control(req, status, body, type);
    send_answer(fd.get(), status, type, body, "normal", 0);
    return;
  }
  if (control_only) {
    send_answer(fd.get(), status, type, body, "normal", 0);
    return;
  }
  bool faulty = fault_applies(knobs, req.path);
  if (faulty && knobs.is("http", "reset")) return;
  if (faulty && knobs.is("http", "hang")) {
    wait_or_stop(knobs.number("hang_ms", 30000));
    return;
  }
  if (faulty && knobs.is("http", "slow") && !wait_or_stop(knobs.number("slow_ms", 1000))) return;
  const long long state_delay = knobs.number("deck_state_delay_ms", 0);
  if (req.path == "/Home/OperatorDeckState" && state_delay > 0 && !wait_or_stop(state_delay)) return;
  handle_home(req, status, body, type);
  send_answer(fd.get(), status, type, body, faulty ? knobs.text("answer") : "normal",
              knobs.number("oversized_bytes", 104857600));
}

void sim_server::handle_home(const request& req, int& status, std::string& body,
                             std::string& type) {
  const sim_identity& self = options_.identity;
  mutex_lock lock(mutex_);
  status = 200;
  type = "application/json";
  auto status_knob = [&](const char* name) {
    mutex_.assert_held();  // called only below, under the lock
    status = static_cast<int>(knobs_.number(name, 200));
    if (status != 200) {
      type = "text/plain";
      body = reason(status);
    }
    return status == 200;
  };
  const std::string& path = req.path;
  if (path == "/" || path == "/index.html") {
    type = "text/html; charset=utf-8";
    body = index_html(self);
  } else if (path == "/Home/GetKelHealth") {
    if (status_knob("health_status")) body = health_json(self, knobs_);
  } else if (path == "/Home/GetOperatorControlIdentity") {
    if (status_knob("identity_status")) body = identity_json(self, knobs_);
  } else if (path == "/Home/GetOperatorControlConfiguration") {
    if (status_knob("configuration_status")) body = configuration_json(event_model_, knobs_);
  } else if (path == "/Home/GetOperatorControlReplicationStatus") {
    if (status_knob("replication_status")) body = replication_json(self, event_model_, knobs_);
  } else if (path == "/Home/GetEventModel") {
    if (status_knob("event_model_status")) {
      body = knobs_.flag("event_model_error") ? "ERROR: no event loaded" : event_model_;
    }
  } else if (path == "/Home/UpdateEventModel" && req.method == "POST") {
    type = "text/plain";
    std::optional<std::string> data = form_value(req.body, "data");
    last_update_body_ = req.body;
    if (!data) {
      status = 400;
      body = "Missing data";
    } else if (knobs_.is("update", "reject")) {
      body = "Failed";
    } else if (knobs_.is("update", "fail")) {
      status = 500;
      body = "Update failed";
    } else {
      if (!knobs_.is("update", "ignore")) {
        event_model_ = *data;
        ++updates_;
      }
      body = "OK";
    }
  } else if (path.rfind("/Home/OperatorDeck", 0) == 0) {
    const int pages = static_cast<int>(knobs_.number("deck_pages", 3));
    if (path == "/Home/OperatorDeckState") {
      if (!status_knob("deck_state_status")) return;
      const std::string session = url_decode(query_value(req.query, "sessionId"));
      const long long since = std::atoll(query_value(req.query, "since").c_str());
      body = decks_.state_json(session, since, knobs_.flag("deck_splash"), pages);
      return;
    }
    if (req.method != "POST") {
      status = 404;
      body = "Not Found";
      return;
    }
    if (path == "/Home/OperatorDeckRegister") {
      remember(registrations_, req.body);
      decks_.register_decks(req.body);
    } else if (path == "/Home/OperatorDeckKeyEvent") {
      log("deck key ms=" + std::to_string(now_ms()) + " " + req.body);
      remember(key_events_, req.body);
      if (!status_knob("deck_key_status")) return;
      decks_.key_event(req.body, pages);
    } else if (path == "/Home/OperatorDeckSetPage") {
      remember(page_changes_, req.body);
      decks_.set_page(req.body, pages);
    } else if (path == "/Home/OperatorDeckDetach") {
      ++detaches_;
      decks_.detach(req.body);
    } else {
      status = 404;
      body = "Not Found";
      return;
    }
    if (status_knob("deck_status")) body = "{\"ok\":true}";
  } else {
    status = 404;
    type = "text/plain";
    body = "Not Found";
  }
}

void sim_server::handle_control(const request& req, int& status, std::string& body,
                                std::string& type) {
  status = 200;
  type = "text/plain";
  body = "OK";
  if (req.path == "/sim/set") {
    std::string params = req.query;
    if (req.method == "POST" && !req.body.empty()) params += (params.empty() ? "" : "&") + req.body;
    mutex_lock lock(mutex_);
    size_t start = 0;
    while (start < params.size()) {
      size_t amp = params.find('&', start);
      if (amp == std::string::npos) amp = params.size();
      std::string pair = params.substr(start, amp - start);
      start = amp + 1;
      if (pair.empty()) continue;
      size_t eq = pair.find('=');
      std::string name = url_decode(pair.substr(0, eq));
      std::string value = eq == std::string::npos ? "" : url_decode(pair.substr(eq + 1));
      if (!knobs_.set(name, value)) {
        status = 400;
        body = "Unknown knob: " + name;
        return;
      }
      if (name == "http" && value == "refuse") {
        long long ms = knobs_.number("refuse_ms", 0);
        refuse_until_ms_ = ms > 0 ? now_ms() + ms : 0;
      }
      log("set " + name + "=" + printable(value));
    }
  } else if (req.path == "/sim/reset") {
    mutex_lock lock(mutex_);
    knobs_ = sim_knobs();
    event_model_ =
        options_.event_model.empty() ? initial_event_model(knobs_) : options_.event_model;
    refuse_until_ms_ = 0;
    counts_.clear();
    recent_requests_.clear();
    datagrams_.clear();
    updates_ = 0;
    last_update_body_.clear();
    registrations_.clear();
    registrations_.clear();
    key_events_.clear();
    page_changes_.clear();
    detaches_ = 0;
    decks_.clear();
    log("reset");
  } else if (req.path == "/sim/state") {
    type = "application/json";
    body = state_json();
  } else if (req.path == "/sim/event-model") {
    mutex_lock lock(mutex_);
    if (req.method == "POST") {
      event_model_ = req.body;
    } else {
      type = "application/json";
      body = event_model_;
    }
  } else if (req.path == "/sim/udp") {
    mutex_lock lock(mutex_);
    type = "application/json";
    body = json_list(std::vector<std::string>(datagrams_.begin(), datagrams_.end()), false);
  } else if (req.path == "/sim/requests") {
    mutex_lock lock(mutex_);
    body.clear();
    for (const std::string& line : recent_requests_) body += line + "\n";
  } else if (req.path == "/sim/help") {
    body.clear();
    for (const knob_info& info : knob_table()) {
      body += std::string(info.name) + " (default \"" + info.default_value + "\"): " +
              info.description + "\n";
    }
  } else {
    status = 404;
    body = "Unknown control path";
  }
}

std::string sim_server::state_json() {
  const sim_identity& self = options_.identity;
  mutex_lock lock(mutex_);
  std::string knobs = "{";
  for (const auto& [name, value] : knobs_.values()) {
    if (knobs.size() > 1) knobs += ",";
    knobs += json_string(name) + ":" + json_string(value);
  }
  knobs += "}";
  std::string counts = "{";
  for (const auto& [path, n] : counts_) {
    if (counts.size() > 1) counts += ",";
    counts += json_string(path) + ":" + std::to_string(n);
  }
  counts += "}";
  return "{\"serial\":" + json_string(self.serial) + ",\"workstation\":" +
         json_string(self.workstation) + ",\"address\":" + json_string(self.address) +
         ",\"webPort\":" + std::to_string(self.web_port) + ",\"knobs\":" + knobs +
         ",\"counts\":" + counts + ",\"updates\":" + std::to_string(updates_) +
         ",\"lastUpdateBody\":" + json_string(last_update_body_) + ",\"eventModel\":" +
         json_string(event_model_) + ",\"registrations\":" + json_list({registrations_.begin(), registrations_.end()}, true) +
         ",\"deckSessions\":" + decks_.summary_json() + ",\"keyEvents\":" +
         json_list({key_events_.begin(), key_events_.end()}, true) + ",\"pageChanges\":" + json_list({page_changes_.begin(), page_changes_.end()}, true) +
         ",\"detaches\":" + std::to_string(detaches_) + ",\"datagrams\":" +
         std::to_string(datagrams_.size()) + "}";
}

void sim_server::discovery_loop() {
  char buffer[2048];
  while (!stopping_.load()) {
    if (!readable(discovery_socket_.get(), 50)) continue;
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    ssize_t n = ::recvfrom(discovery_socket_.get(), buffer, sizeof(buffer), 0,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) continue;
    std::string_view payload(buffer, static_cast<size_t>(n));
    if (payload.rfind("tolvarine-server?", 0) != 0) continue;
    sim_knobs knobs;
    {
      mutex_lock lock(mutex_);
      ++counts_["udp:discovery"];
      knobs = knobs_;
    }
    if (!knobs.flag("discovery")) continue;
    long long delay = knobs.number("discovery_delay_ms", 0);
    if (delay > 0 && !wait_or_stop(delay)) return;
    std::string answer = discovery_answer(options_.identity, knobs);
    long long repeat = knobs.number("discovery_repeat", 1);
    for (long long i = 0; i < repeat && i < 100; ++i) {
      ::sendto(reply_socket_.get(), answer.data(), answer.size(), 0,
               reinterpret_cast<sockaddr*>(&from), sizeof(from));
    }
  }
}

void sim_server::command_loop() {
  std::vector<char> buffer(65536);
  while (!stopping_.load()) {
    if (!readable(command_socket_.get(), 50)) continue;
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    ssize_t n = ::recvfrom(command_socket_.get(), buffer.data(), buffer.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) continue;
    std::string payload(buffer.data(), static_cast<size_t>(n));
    std::string source = source_text(from);
    log("udp from " + source + " " + printable(payload));
    mutex_lock lock(mutex_);
    ++counts_["udp:command"];
    datagrams_.push_back("{\"from\":" + json_string(source) + ",\"payload\":" +
                         json_string(payload) + ",\"ms\":" + std::to_string(now_ms()) + "}");
    if (datagrams_.size() > kMaxRemembered) datagrams_.pop_front();
  }
}

}  // namespace tolvarine::show_server_sim
