// A small blocking HTTP/1.1 client on plain sockets: one connection per
// request, "Connection: close", the whole response read until the peer
// closes. No TLS, redirects, keep-alive or retries.
//
// Stateless and thread-safe; every call owns its socket and closes it.
// Failure is status 0 with an empty body; there are no exceptions and no
// error texts.
//
// The pieces below http_request (request text, exchange, parsers) are
// public so the event-policy client can share the connection procedure and
// so tests and fuzz targets can reach the parsers without sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvarine::operator_control {

struct http_response {
  int status = 0;  // 0: no usable response
  std::string body;
};

// Any address family; honours Content-Length and chunked coding; reads at
// most `max_bytes` of response (plus less than one 16 KiB buffer). The name
// lookup, connect and send (per address) are each bounded by `timeout_ms`;
// each read may stall for `timeout_ms` and the whole receive lasts at most
// ten of them.
http_response http_request(const std::string& host, uint16_t port, const std::string& method,
                           const std::string& path, const std::string& body,
                           const std::string& content_type, int timeout_ms, size_t max_bytes);

// Percent-encodes a query-string value: letters, digits and "-._~" stay,
// a blank becomes '+', every other byte %XX with upper-case hex digits.
std::string url_encode(const std::string& text);

// The request bytes: request line, "Host: " + host_header, Connection and
// Accept lines, Content-Type/Content-Length only when `body` is non-empty,
// the empty line, then the body.
std::string http_request_text(const std::string& method, const std::string& path,
                              const std::string& host_header, const std::string& body,
                              const std::string& content_type);

enum class address_family { any, ipv4_only };

// Resolves, connects (each address gets the full timeout), sends
// `request_text` without SIGPIPE and reads until the peer closes, a read
// stalls for the timeout or the receive outlasts ten of them, or `max_bytes` are held
// (checked between reads). Nothing when no address connected or the send
// failed; otherwise whatever arrived (possibly empty).
std::optional<std::string> http_exchange(const std::string& host, uint16_t port,
                                         address_family family, std::string_view request_text,
                                         int timeout_ms, size_t max_bytes);

// The status of the first line (the second whitespace-separated token as a
// decimal number, 0 if it is none); 0 when there is no CR LF at all.
int parse_status_line(std::string_view raw);

// Full parser of http_request: status line, then Content-Length or chunked
// body. A broken chunk or a body shorter than its Content-Length gives
// status 0 with an empty body.
http_response parse_http_response(std::string_view raw);

// Minimal parser: the status line, then every byte after the first
// CR LF CR LF as the body; headers are not examined.
http_response parse_raw_body_response(std::string_view raw);

// Decodes a chunked body (extensions and trailers ignored). Nothing when a
// size line is missing or not hexadecimal, a chunk is short, or the CR LF
// after a chunk's data is missing.
std::optional<std::string> decode_chunked(std::string_view raw_body);

}  // namespace tolvarine::operator_control
