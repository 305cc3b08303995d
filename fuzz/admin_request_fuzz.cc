// Feeds arbitrary bytes through the admin API's request reading: framing
// (whole and in pieces), parsing, header lookup, the cross-site guard and
// the routes that change no files. Crashes, sanitizer reports and broken
// invariants abort.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/control_config.h"
#include "routing/command_router.h"
#include "web/admin_routes.h"
#include "web/http_request_reader.h"
#include "web/origin_guard.h"

namespace toc = tolvarine::operator_control;

namespace {

toc::admin_services fake_services() {
  toc::admin_services s;
  s.discover = [](std::chrono::milliseconds) { return std::vector<toc::discovered_system>{}; };
  s.synchronize_pairing = [](std::string&) { return false; };
  s.decks = [] { return std::vector<toc::deck_info>(1); };
  s.protection_json = [] { return std::string("{}"); };
  s.configure_protection = [](const std::string&, std::string* e) { *e = "no"; return false; };
  s.test_protection_action = [](int, std::string*) { return true; };
  s.operate_protection = [](const std::string&, std::string*) { return true; };
  return s;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty registry: no command can reach any address.
  static toc::control_config config("/nonexistent/operator-control.json");
  static toc::command_router router(config, [](const std::string&) {});
  static toc::admin_routes routes(config, router, fake_services(), [](const std::string&) {},
                                  [](const std::string&) {});

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool whole = toc::request_complete(text);

  // The incremental framer agrees with the whole-buffer answer at the first
  // prefix where it says complete, whatever the piece sizes.
  toc::request_framer framer;
  std::string buffer;
  bool complete = false;
  size_t step = size > 0 ? 1 + data[0] % 97 : 1;
  for (size_t at = 0; at < size && !complete; at += step) {
    buffer.append(text.substr(at, step));
    complete = framer.complete(buffer);
    check(complete == toc::request_complete(buffer));
  }
  if (size > 0 && !complete) check(!whole);

  const auto request = toc::parse_request(text);
  if (!request) return 0;
  check(!request->method.empty() && !request->path.empty());
  check(request->body.size() <= size);
  (void)toc::header_values(request->header_block, "Host");
  const toc::origin_check origin = toc::check_request_origin(request->header_block, 5270, 5251);
  (void)toc::refusal_log_line(origin);

  const std::string& path = request->path;
  if (path == "/api/shared" || path == "/api/role" || path == "/api/configure" ||
      path == "/api/discover") {
    return 0;  // these save the settings file
  }
  const toc::http_reply reply = routes.handle(*request, 5251);
  check(reply.status == 200 || reply.status == 400 || reply.status == 404);
  (void)toc::response_text(reply.status, reply.content_type, reply.body);
  return 0;
}
