// Feeds arbitrary bytes to both HTTP response parsers and the chunk
// decoder. Invariants: status 0 always comes with an empty body; no body
// is longer than its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http_client.h"

using namespace tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);

  http_response full = parse_http_response(raw);
  if (full.status == 0 && !full.body.empty()) std::abort();
  if (full.body.size() > raw.size()) std::abort();

  http_response minimal = parse_raw_body_response(raw);
  if (minimal.body.size() > raw.size()) std::abort();
  if (minimal.status == 0 && !minimal.body.empty()) std::abort();
  if (parse_status_line(raw) != minimal.status) std::abort();

  if (std::optional<std::string> decoded = decode_chunked(raw)) {
    if (decoded->size() > raw.size()) std::abort();
  }
  return 0;
}
