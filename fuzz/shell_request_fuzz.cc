// Feeds arbitrary bytes to the UI server's request dispatch, as received on
// a connection, and as the id of an acknowledgement. Invariants: every
// answer is a complete response whose Content-Length matches its body; an
// id that was never handed to a poll is never acknowledged, and a reuse
// that ended at its deadline leaves nothing to poll.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/shell_server.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  long long seconds = 0;  // each reading is 5 s later, so a reuse never waits
  browser_handoff handoff([&seconds] { return steady_time(std::chrono::seconds(seconds += 5)); });
  const std::string response = shell_response(raw, handoff, 5270);
  const size_t blank = response.find("\r\n\r\n");
  if (blank == std::string::npos || !response.starts_with("HTTP/1.1 ") ||
      response.find("Content-Length: " + std::to_string(response.size() - blank - 4) + "\r\n") == std::string::npos) {
    std::abort();
  }
  if (handoff.acknowledge(raw) || !handoff.poll().empty()) std::abort();
  return 0;
}
