// Feeds arbitrary bytes to the UI server's request dispatch, as received on
// a connection, and as the id of an acknowledgement. Invariants: every
// answer is one of the fixed responses or a complete response from
// shell_reply (200, 400 or 404); an id that was never handed out is never
// acknowledged; a poll gives an id at most once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/shell_server.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  // Each reading is 5 s later, so a reuse never waits for real.
  long long seconds = 0;
  browser_handoff handoff([&seconds] { return steady_time(std::chrono::seconds(seconds += 5)); });

  const std::string response = shell_response(raw, handoff, 5270);
  if (response != kShellFound && response != kShellMethodNotAllowed &&
      !response.starts_with("HTTP/1.1 200 OK\r\n") && !response.starts_with("HTTP/1.1 400 Bad Request\r\n") &&
      !response.starts_with("HTTP/1.1 404 Not Found\r\n")) {
    std::abort();
  }
  const size_t blank = response.find("\r\n\r\n");
  const std::string length = "Content-Length: " + std::to_string(response.size() - blank - 4) + "\r\n";
  if (blank == std::string::npos || response.find(length) == std::string::npos) std::abort();

  const shell_request request = classify_shell_request(raw);
  if (request.route == shell_route::ack && request.ack_id.size() + 25 > raw.size()) std::abort();
  if (handoff.acknowledge(raw)) std::abort();  // nothing was polled
  if (!handoff.poll().empty()) std::abort();   // nothing pending: a reuse ended at its deadline
  return 0;
}
