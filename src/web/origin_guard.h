// Keeps web pages the operator happens to visit away from the admin API.
//
// A browser lets any page send simple cross-site requests (a POST with a
// text/plain body) to 127.0.0.1, and a DNS-rebinding page can do the same
// under its own host name. Browsers always name the page's origin in an
// `Origin` header on such requests and the host they think they talk to in
// `Host`; local tools send neither or plain loopback values.
//
// A request is allowed when every `Origin` header is exactly the operator
// page's origin (http://127.0.0.1:<ui port> or http://localhost:<ui port>)
// or this server's own (http://127.0.0.1:<api port>, http://localhost:<api
// port>), and every `Host` header is 127.0.0.1, localhost or [::1], bare or
// with the API port. Missing headers are allowed. Pure; thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tolvarine::operator_control {

struct origin_check {
  bool allowed = true;
  std::string origin;  // the first Origin header's value, empty when absent
  std::string host;    // the first Host header's value, empty when absent
};

origin_check check_request_origin(std::string_view header_block, uint16_t ui_port,
                                  uint16_t api_port);
// The same with several operator page origins: every UI port this process
// has served since it started, so a page loaded before a port move can
// still follow it. `api_port` is the port of the server that asks.
origin_check check_request_origin(std::string_view header_block, std::span<const uint16_t> ui_ports,
                                  uint16_t api_port);

// The log line for a refused request:
// "<tag> refused origin=<origin> host=<host>", with control characters
// replaced by '?' so a header cannot forge further log lines.
std::string refusal_log_line(const origin_check& check, std::string_view tag = "[admin]");

}  // namespace tolvarine::operator_control
