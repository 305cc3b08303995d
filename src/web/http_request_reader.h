// Reading one HTTP/1.1 request from a connected socket, and writing one
// complete response. Shared by the loopback servers.
//
// The framing rules: the headers end at the first CR LF CR LF; the body
// length comes from a "Content-Length:" or "content-length:" header (these
// two spellings only; none means no body); reading stops once headers and
// body are in, or once more than kMaxRequestBytes have arrived (what is
// there is then used). The request line's first two words are the method
// and the path, taken exactly as sent (query strings included).
//
// Stateless functions; safe from any thread. Failure is an empty optional
// (connection to be closed without a reply) or false.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"

namespace tolvarine::operator_control {

inline constexpr size_t kRequestReadChunk = 8192;
inline constexpr size_t kMaxRequestBytes = 4194303;  // 4 MiB - 1

struct http_request_message {
  std::string method;
  std::string path;
  std::string header_block;  // from after the request line's CR LF up to the blank line
  std::string body;          // at most Content-Length bytes after the blank line
};

// True when `buffer` holds the headers, the blank line and the whole body,
// or more than kMaxRequestBytes.
bool request_complete(std::string_view buffer);

// request_complete for a buffer that grows: each call scans only the bytes
// added since the previous call for the end of the headers. One per
// request; not thread-safe.
class request_framer {
 public:
  bool complete(std::string_view buffer);
  // The whole request's size once its headers are in (saturating), else 0.
  size_t expected_size() const;

 private:
  size_t scanned_ = 0;
  size_t header_end_ = static_cast<size_t>(-1);
  unsigned long body_length_ = 0;
};

// Splits a buffer that request_complete accepted (or one cut short at the
// size bound). Nothing when there is no CR LF, or the method or the path is
// empty.
std::optional<http_request_message> parse_request(std::string_view buffer);

// The values of every header called `name` (compared without regard to
// letter case), blanks around the value removed, in order.
std::vector<std::string> header_values(std::string_view header_block, std::string_view name);

// Reads one request from `fd` in chunks of kRequestReadChunk until
// request_complete. Nothing when the peer closes or fails first, when
// `deadline` passes, or when `wake_fd` (if not -1) becomes readable.
std::optional<std::string> read_request(int fd, steady_time deadline, int wake_fd = -1);

// "OK" for 200, "Bad Request" for 400, "Payload Too Large" for 413,
// "Not Found" for anything else.
std::string_view reason_phrase(int status);

// The complete response bytes: status line, the fixed headers
// (Server, Content-Type, Content-Length, Connection: close,
// Cache-Control: no-store, Access-Control-Allow-Origin: *), blank line, body.
std::string response_text(int status, std::string_view content_type, std::string_view body);

// Writes response_text to `fd` until all is sent or a send fails (no
// SIGPIPE). False when the peer did not take it all.
[[nodiscard]] bool respond(int fd, int status, std::string_view content_type,
                           std::string_view body);

}  // namespace tolvarine::operator_control
