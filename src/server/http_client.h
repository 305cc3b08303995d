// A small blocking HTTP/1.1 client on plain sockets: one connection per
// request, "Connection: close", the whole response read until the peer
// closes. No TLS, redirects, keep-alive or retries.
//
// Stateless and thread-safe. Failure is status 0 with an empty body; there
// are no exceptions and no error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvarine::operator_control {

struct http_response {
  int status = 0;  // 0: no usable response
  std::string body;
};

// Any address family; honours Content-Length and chunked coding; reads at
// most `max_bytes` of response. Connect, send and receive are each bounded
// by `timeout_ms`.
http_response http_request(const std::string& host, uint16_t port, const std::string& method,
                           const std::string& path, const std::string& body,
                           const std::string& content_type, int timeout_ms, size_t max_bytes);

// Percent-encodes a query-string value.
std::string url_encode(const std::string& text);

}  // namespace tolvarine::operator_control
