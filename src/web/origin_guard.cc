#include "web/origin_guard.h"

#include <vector>

#include "web/http_request_reader.h"

namespace tolvarine::operator_control {
namespace {

bool allowed_origin_port(const std::string& origin, uint16_t port) {
  const std::string suffix = ":" + std::to_string(port);
  return origin == "http://127.0.0.1" + suffix || origin == "http://localhost" + suffix;
}

bool allowed_origin(const std::string& origin, std::span<const uint16_t> ui_ports,
                    uint16_t api_port) {
  if (allowed_origin_port(origin, api_port)) return true;
  for (uint16_t port : ui_ports) {
    if (allowed_origin_port(origin, port)) return true;
  }
  return false;
}

bool allowed_host(const std::string& host, uint16_t api_port) {
  const std::string suffix = ":" + std::to_string(api_port);
  for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (host == name || host == name + suffix) return true;
  }
  return false;
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

origin_check check_request_origin(std::string_view header_block, uint16_t ui_port,
                                  uint16_t api_port) {
  const uint16_t ports[] = {ui_port};
  return check_request_origin(header_block, ports, api_port);
}

origin_check check_request_origin(std::string_view header_block, std::span<const uint16_t> ui_ports,
                                  uint16_t api_port) {
  origin_check check;
  const std::vector<std::string> origins = header_values(header_block, "Origin");
  const std::vector<std::string> hosts = header_values(header_block, "Host");
  if (!origins.empty()) check.origin = origins.front();
  if (!hosts.empty()) check.host = hosts.front();
  // When a header repeats, the log names the value that was refused.
  for (const std::string& origin : origins) {
    if (!allowed_origin(origin, ui_ports, api_port)) {
      if (check.allowed) check.origin = origin;
      check.allowed = false;
      break;
    }
  }
  for (const std::string& host : hosts) {
    if (!allowed_host(host, api_port)) {
      check.host = host;
      check.allowed = false;
      break;
    }
  }
  return check;
}

std::string refusal_log_line(const origin_check& check, std::string_view tag) {
  return std::string(tag) + " refused origin=" + printable(check.origin) +
         " host=" + printable(check.host);
}

}  // namespace tolvarine::operator_control
